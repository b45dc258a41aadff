#pragma once
// A drop-down list of moves whose field also takes typed text, and whose text
// can start as a prompt that is none of its items ("wybierz ruch"), with no
// item selected (index -1).
//
// The stored layout sets `text` after the items are filled: setting it clears
// the selection and then puts the text into the edit field. (Setting the
// current index to -1 on its own would also clear the edit text.)
#include <QAbstractItemView>
#include <QComboBox>
#include <QLineEdit>
#include <QString>

class ChoiceBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(QString text READ currentText WRITE setText)

public:
    // Editable from the start: typed text chooses the item it names exactly,
    // and no item otherwise, so the list never keeps a choice that its field
    // no longer shows.
    explicit ChoiceBox(QWidget *parent = nullptr) : QComboBox(parent)
    {
        setInsertPolicy(QComboBox::NoInsert);
        setEditable(true);
        connect(lineEdit(), &QLineEdit::textEdited, this, &ChoiceBox::FollowTypedText);
        // A chosen item's text is wider than the field, and the combo box
        // leaves the cursor, and so the view, at its end ("...apedzajacy do
        // przodu"): show its beginning instead. Typing keeps its own cursor
        // (FollowTypedText puts it back).
        connect(this, &QComboBox::currentIndexChanged, this, [this] { lineEdit()->home(false); });
    }

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
};
