#pragma once
// A drop-down list whose edit text can start as a prompt that is none of its
// items ("wybierz ruch"), with no item selected (index -1).
//
// The stored layout sets `text` after the items are filled: setting it clears
// the selection and then puts the text into the edit field. (Setting the
// current index to -1 on its own would also clear the edit text.)
#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QString>

class TComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(QString text READ currentText WRITE setText)

public:
    explicit TComboBox(QWidget *parent = nullptr) : QComboBox(parent)
    {
        setInsertPolicy(QComboBox::NoInsert);
    }

    void setText(const QString &text)
    {
        setCurrentIndex(-1);
        setEditText(text);
    }

    // Typed text chooses the item it names exactly, and no item otherwise: the
    // list never keeps a choice that its field no longer shows.
    void setEditable(bool editable)
    {
        QComboBox::setEditable(editable);
        if (editable)
            connect(lineEdit(), &QLineEdit::textEdited, this, &TComboBox::FollowTypedText,
                    Qt::UniqueConnection);
    }

private:
    void FollowTypedText(const QString &text)
    {
        const int match = findText(text, Qt::MatchExactly);
        if (match == currentIndex())
            return;
        const int cursor = lineEdit()->cursorPosition();
        setCurrentIndex(match);
        setEditText(text);
        lineEdit()->setCursorPosition(cursor);
    }

public:

    // The items are longer than the field is wide: open the list wide enough
    // to show them whole.
    void showPopup() override
    {
        view()->setMinimumWidth(view()->sizeHintForColumn(0) + 2 * view()->frameWidth() + 4);
        QComboBox::showPopup();
    }
};
