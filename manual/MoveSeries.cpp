// "Seria ruchow": up to fifteen chosen moves, back to back. The series never
// drains messages: nothing interrupts it, and clicks wait until it is over.
#include "core/Convert.h"
#include "core/ErrorDisplay.h"
#include "drive/Motor.h"
#include "drive/MoveChoice.h"
#include "form/Unit1.h"

void TForm1::Button5Click()
{
    RunHandler([this] {
        // Row 1's duration is taken first, whatever row 1's choice is.
        ForwardTimeMs = ToInt32(Edit4->text());
        const struct {
            QComboBox *choice;
            QLineEdit *duration;
        } rows[] = {
            {ComboBox1, Edit4},   {ComboBox2, Edit5},   {ComboBox3, Edit6},   {ComboBox4, Edit7},
            {ComboBox5, Edit8},   {ComboBox6, Edit9},   {ComboBox7, Edit10},  {ComboBox8, Edit11},
            {ComboBox9, Edit12},  {ComboBox10, Edit13}, {ComboBox11, Edit14}, {ComboBox12, Edit15},
            {ComboBox13, Edit16}, {ComboBox14, Edit17}, {ComboBox15, Edit18},
        };
        for (const auto &row : rows)
            RunChosenMove(row.choice->currentIndex(), row.duration->text());
    });
}
