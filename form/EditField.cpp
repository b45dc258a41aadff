#include "form/EditField.h"

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>

bool IsEditField(const QWidget *w)
{
    if (!w)
        return false;
    if (const auto *box = qobject_cast<const QComboBox *>(w))
        return box->isEditable();
    return qobject_cast<const QLineEdit *>(w) || qobject_cast<const QAbstractSpinBox *>(w) ||
           qobject_cast<const QTextEdit *>(w) || qobject_cast<const QPlainTextEdit *>(w);
}
