#pragma once
// A drop-down list whose edit text can start as a prompt that is none of its
// items ("wybierz ruch"), with no item selected (index -1).
//
// The stored layout sets `text` after the items are filled: setting it clears
// the selection and then puts the text into the edit field. (Setting the
// current index to -1 on its own would also clear the edit text.)
#include <QAbstractItemView>
#include <QComboBox>
#include <QString>

class TComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(QString text READ currentText WRITE setText)

public:
    explicit TComboBox(QWidget *parent = nullptr) : QComboBox(parent) {}

    void setText(const QString &text)
    {
        setCurrentIndex(-1);
        setEditText(text);
    }

    // The items are longer than the field is wide: open the list wide enough
    // to show them whole.
    void showPopup() override
    {
        view()->setMinimumWidth(view()->sizeHintForColumn(0) + 2 * view()->frameWidth() + 4);
        QComboBox::showPopup();
    }
};
