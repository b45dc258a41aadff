// The window as it starts: every control of the stored layout with its kind,
// place, text and handler; fonts and pictures; the files the build makes for
// the working directory.
#include "support/Harness.h"

#include "app/PortStatusLine.h"
#include "camera/MediaPlayer.h"
#include "drive/PortIo.h"
#include "form/ChoiceBox.h"
#include "form/ImageBox.h"

#include <QComboBox>
#include <QFile>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMetaMethod>
#include <QPushButton>
#include <QSet>
#include <QSlider>

#include <cstring>

namespace {

class Layout : public RobotTest {};

enum class Kind { Button, Edit, Combo, Label, Panel, Image, TrackBar, Player };

// One control as designed. Sizes of 0 are not designed (labels fit their
// text); a designed label width is the least the label has, since it fits the
// text in the window's font.
struct Control {
    const char *name;
    Kind kind;
    int left, top, width, height;
    const char *text;
};

const char *const Rule =
    "-------------------------------------------------------------------------------------------------"
    "------------------";

QString TextOf(QWidget *w)
{
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return b->text();
    if (auto *e = qobject_cast<QLineEdit *>(w))
        return e->text();
    if (auto *c = qobject_cast<QComboBox *>(w))
        return c->currentText();
    if (auto *l = qobject_cast<QLabel *>(w))
        return l->text();
    return {};
}

bool IsKind(QWidget *w, Kind kind)
{
    switch (kind) {
    case Kind::Button: return qobject_cast<QPushButton *>(w) != nullptr;
    case Kind::Edit: return qobject_cast<QLineEdit *>(w) != nullptr;
    case Kind::Combo: return qobject_cast<ChoiceBox *>(w) != nullptr && static_cast<QComboBox *>(w)->isEditable();
    case Kind::Label: return qobject_cast<QLabel *>(w) != nullptr;
    case Kind::Panel:
        return qobject_cast<QLabel *>(w) != nullptr && static_cast<QLabel *>(w)->frameShape() == QFrame::Panel;
    case Kind::Image: return qobject_cast<ImageBox *>(w) != nullptr;
    case Kind::TrackBar: return qobject_cast<QSlider *>(w) != nullptr;
    case Kind::Player: return qobject_cast<TMediaPlayer *>(w) != nullptr;
    }
    return false;
}

void CheckPage(TForm1 &f, QWidget *page, const char *caption, const std::vector<Control> &controls)
{
    const int index = f.PageControl1->indexOf(page);
    ASSERT_GE(index, 0);
    EXPECT_EQ(f.PageControl1->tabText(index), QString::fromUtf8(caption));
    for (const Control &c : controls) {
        SCOPED_TRACE(c.name);
        auto *w = f.findChild<QWidget *>(c.name);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->parentWidget(), page);
        EXPECT_TRUE(IsKind(w, c.kind));
        EXPECT_EQ(w->pos(), QPoint(c.left, c.top));
        if (c.kind == Kind::Label) {
            EXPECT_GE(w->width(), c.width);
            EXPECT_EQ(w->height(), c.height ? c.height : 13);
        } else if (c.width) {
            EXPECT_EQ(w->size(), QSize(c.width, c.height));
        }
        if (c.text) {
            EXPECT_EQ(TextOf(w), QString::fromUtf8(c.text));
        }
    }
}

// What a control's text covers on its page, for the overlap check.
QRect InkRect(QWidget *w)
{
    auto *l = qobject_cast<QLabel *>(w);
    if (!l || l->frameShape() != QFrame::NoFrame)
        return w->geometry();
    const QFontMetrics fm(l->font());
    const int h = std::min(fm.height(), l->height());
    return QRect(l->x(), l->y() + (l->height() - h) / 2, fm.boundingRect(l->text()).right() + 1, h);
}

// Designed to share a pixel row: the camera tab's buttons Button12 and Button14.
bool DesignedToTouch(QWidget *a, QWidget *b)
{
    const QSet<QString> pair = {a->objectName(), b->objectName()};
    return pair == QSet<QString>{"Button12", "Button14"};
}

} // namespace

TEST_F(Layout, WindowStartsOnTheLastOfSevenPages)
{
    TForm1 &f = Form();
    EXPECT_EQ(f.windowTitle(), QString("PROGRAM STERUJACY ROBOTEM"));
    EXPECT_EQ(f.PageControl1->count(), 7);
    EXPECT_EQ(f.PageControl1->currentWidget(), f.TabSheet7);
    EXPECT_EQ(f.PageControl1->geometry(), QRect(0, 0, 473, 497));
    EXPECT_EQ(f.pos(), QPoint(16, 177));
    EXPECT_EQ(f.size(), QSize(490, 544));
    QWidget *pages[] = {f.TabSheet1, f.TabSheet2, f.TabSheet3, f.TabSheet4, f.TabSheet5, f.TabSheet6, f.TabSheet7};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(f.PageControl1->widget(i), pages[i]);
    // The port's status line: under the pages, inside the window.
    EXPECT_EQ(f.PortStatus->parentWidget(), &f);
    EXPECT_GE(f.PortStatus->y(), f.PageControl1->geometry().bottom() + 1);
    EXPECT_TRUE(f.rect().contains(f.PortStatus->geometry()));
    EXPECT_LE(QFontMetrics(f.PortStatus->font()).height(), f.PortStatus->height());
}

// The status line says which port library answers and follows a change
// within its polling; a text too long for it is cut in the middle, whole in
// its tooltip.
TEST_F(Layout, TheStatusLineNamesThePortAndFollowsIt)
{
    QLabel &line = *Form().PortStatus;
    PortStatusLine status(line);
    EXPECT_TRUE(line.text().startsWith("Port: recording") || line.text().contains("/lib/recording/libinpout32.so"))
        << line.text().toStdString();

    SetPortIoLibraryFileNameForTesting("libnot-there.so");
    const bool followed = WaitUntil([&] { return line.toolTip().contains("cannot load libnot-there.so"); }, 3000);
    SetPortIoLibraryFileNameForTesting(nullptr);
    ASSERT_TRUE(followed) << line.toolTip().toStdString();
    EXPECT_LE(line.fontMetrics().horizontalAdvance(line.text()), line.width());
    EXPECT_TRUE(line.text().startsWith("Port: The port I/O library is not usable")) << line.text().toStdString();
}

TEST_F(Layout, SingleMovesPage)
{
    CheckPage(Form(), Form().TabSheet1, "Ruch pojedynczy",
              {{"Image1", Kind::Image, 48, 8, 370, 278, nullptr},
               {"Button2", Kind::Button, 96, 304, 89, 41, "do przodu"},
               {"Button1", Kind::Button, 256, 304, 89, 41, "do tylu"},
               {"Button3", Kind::Button, 96, 352, 89, 41, "w lewo"},
               {"Button4", Kind::Button, 256, 352, 89, 41, "w prawo"},
               {"Label7", Kind::Label, 96, 408, 0, 16, "Czas w [ms] ruchu w przod i tyl"},
               {"Edit3", Kind::Edit, 296, 400, 41, 21, "1200"},
               {"Label44", Kind::Label, 96, 440, 0, 16, "Czas w [ms] skrętu lewo, prawo"},
               {"Edit35", Kind::Edit, 296, 432, 41, 21, "300"}});
}

TEST_F(Layout, MoveSeriesPage)
{
    std::vector<Control> controls = {{"Label8", Kind::Label, 96, 8, 0, 0, "Nr"},
                                     {"Label9", Kind::Label, 280, 8, 0, 0, "Czas ruchu w [ms]"},
                                     {"Button5", Kind::Button, 136, 408, 75, 25, "START"},
                                     {"Label12", Kind::Label, 232, 416, 0, 0, "Uruchomienie serii ruchow"}};
    std::vector<std::string> names; // keeps the generated names alive
    names.reserve(45);
    for (int r = 1; r <= 15; ++r) {
        const int top = 32 + 24 * (r - 1);
        names.push_back("Label" + std::to_string(12 + r));
        names.push_back(std::to_string(r));
        controls.push_back({names[names.size() - 2].c_str(), Kind::Label, r < 10 ? 104 : 96, top, 0, 0,
                            names.back().c_str()});
        names.push_back("ComboBox" + std::to_string(r));
        controls.push_back({names.back().c_str(), Kind::Combo, 128, top, 137, 21, "wybierz ruch"});
    }
    std::vector<std::string> edits;
    edits.reserve(15);
    for (int r = 1; r <= 15; ++r) {
        edits.push_back("Edit" + std::to_string(r + 3));
        controls.push_back({edits.back().c_str(), Kind::Edit, 296, 32 + 24 * (r - 1), 49, 21, "1000"});
    }
    CheckPage(Form(), Form().TabSheet2, "Seria ruchow", controls);
}

TEST_F(Layout, ContinuousMovesPage)
{
    TForm1 &f = Form();
    CheckPage(f, f.TabSheet3, "Ruch ciagly",
              {{"Button6", Kind::Button, 40, 56, 137, 65, "do tylu"},
               {"Button7", Kind::Button, 296, 56, 137, 65, "do przodu"},
               {"Button10", Kind::Button, 120, 176, 225, 105, "STOP"},
               {"Button8", Kind::Button, 40, 336, 137, 65, "w lewo"},
               {"Button9", Kind::Button, 296, 336, 137, 65, "w prawo"}});
    for (QPushButton *b : {f.Button6, f.Button7, f.Button8, f.Button9, f.Button10})
        EXPECT_EQ(b->cursor().shape(), Qt::PointingHandCursor) << b->objectName().toStdString();
}

TEST_F(Layout, CameraPage)
{
    CheckPage(Form(), Form().TabSheet4, "Kamerka",
              {{"Button11", Kind::Button, 16, 0, 75, 25, "Kamera 1"},
               {"Label3", Kind::Label, 104, 8, 181, 13, "Uruchomienie kamery w nowym oknie."},
               {"Label46", Kind::Label, 16, 24, 345, 13, Rule},
               {"Button12", Kind::Button, 16, 40, 75, 25, "Kamera 2"},
               {"Label5", Kind::Label, 104, 48, 191, 13, "Uruchomienie kamery poniżej na panelu."},
               {"Button14", Kind::Button, 16, 64, 75, 25, "Przechwyt"},
               {"Label43", Kind::Label, 104, 72, 187, 13, "Przechwytuje  zdjęcie z kamery do pliku"},
               {"Label45", Kind::Label, 240, 88, 83, 13, "Zdjęcie z kamery."},
               {"Panel1", Kind::Panel, 16, 104, 161, 121, "Panel1"},
               {"Image4", Kind::Image, 200, 104, 161, 121, nullptr},
               {"Label47", Kind::Label, 16, 224, 345, 13, Rule},
               {"Label48", Kind::Label, 16, 232, 200, 24, "WYKRYWANIE RUCHU"},
               {"Label53", Kind::Label, 248, 240, 65, 13, "Zdjecie ruchu"},
               {"Panel2", Kind::Panel, 16, 256, 161, 121, "Panel2"},
               {"Image5", Kind::Image, 200, 256, 161, 121, nullptr},
               {"Button16", Kind::Button, 8, 384, 75, 25, "Kamera 3"},
               {"Button17", Kind::Button, 88, 384, 75, 25, "Zrodlo wideo"},
               {"Button18", Kind::Button, 168, 384, 75, 25, "RESET"},
               {"Button19", Kind::Button, 248, 384, 75, 25, "Format wideo"},
               {"Label50", Kind::Label, 336, 400, 6, 13, "0"},
               {"Edit34", Kind::Edit, 8, 416, 33, 21, "3"},
               {"Label51", Kind::Label, 336, 416, 6, 13, "0"},
               {"Label54", Kind::Label, 48, 424, 114, 13, "Czulosc wykrycia ruchu."},
               {"MediaPlayer1", Kind::Player, 8, 448, 253, 20, nullptr},
               {"Label49", Kind::Label, 272, 448, 6, 13, "0"},
               {"Label52", Kind::Label, 336, 448, 6, 13, "0"}});
    EXPECT_TRUE(Form().Image4->Stretch());
    EXPECT_TRUE(Form().Image4->Proportional());
    EXPECT_TRUE(Form().Image5->Stretch());
}

TEST_F(Layout, CameraLineFollowerPage)
{
    TForm1 &f = Form();
    CheckPage(f, f.TabSheet5, "Kamera po linii",
              {{"Label76", Kind::Label, 24, 8, 151, 13, "Ustaw kamere na rozd. 320-240"},
               {"Panel3", Kind::Panel, 0, 32, 193, 161, "Panel3"},
               {"Image7", Kind::Image, 0, 32, 193, 161, nullptr},
               {"Button15", Kind::Button, 56, 200, 75, 25, "start"},
               {"Label67", Kind::Label, 216, 8, 0, 0, "R"},
               {"Label68", Kind::Label, 272, 8, 0, 0, "G"},
               {"Label69", Kind::Label, 328, 8, 0, 0, "B"},
               {"TrackBar1", Kind::TrackBar, 200, 24, 45, 150, nullptr},
               {"TrackBar2", Kind::TrackBar, 256, 24, 45, 150, nullptr},
               {"TrackBar3", Kind::TrackBar, 312, 24, 45, 150, nullptr},
               {"Label55", Kind::Label, 216, 176, 0, 0, "0"},
               {"Label56", Kind::Label, 272, 176, 0, 0, "0"},
               {"Label57", Kind::Label, 328, 176, 0, 0, "0"},
               {"Image6", Kind::Image, 256, 200, 50, 50, nullptr},
               {"Label70", Kind::Label, 216, 264, 146, 13, "Srednie RGB z calego obrazka"},
               {"Label58", Kind::Label, 216, 280, 0, 0, "0"},
               {"Label59", Kind::Label, 272, 280, 0, 0, "0"},
               {"Label60", Kind::Label, 328, 280, 0, 0, "0"},
               {"Label71", Kind::Label, 8, 232, 52, 13, "Lewa RGB"},
               {"Label61", Kind::Label, 24, 248, 0, 0, "0"},
               {"Label62", Kind::Label, 24, 264, 0, 0, "0"},
               {"Label63", Kind::Label, 24, 280, 0, 0, "0"},
               {"Label72", Kind::Label, 104, 232, 56, 13, "Prawa RGB"},
               {"Label64", Kind::Label, 128, 248, 0, 0, "0"},
               {"Label65", Kind::Label, 128, 264, 0, 0, "0"},
               {"Label66", Kind::Label, 128, 280, 0, 0, "0"},
               {"Label73", Kind::Label, 8, 304, 0, 0, "Tolerancja +/- RGB"},
               {"Edit36", Kind::Edit, 112, 304, 25, 21, "45"},
               {"Label74", Kind::Label, 8, 328, 0, 0, "Liczba kr. sil. napedzajacego"},
               {"Edit37", Kind::Edit, 152, 328, 33, 21, "5"},
               {"Label75", Kind::Label, 8, 352, 0, 0, "Liczba kr. sil. skrecajacego"},
               {"Edit38", Kind::Edit, 152, 352, 33, 21, "3"}});
    EXPECT_TRUE(f.Image7->isHidden());
    EXPECT_TRUE(f.Image7->Stretch());
    for (QSlider *t : {f.TrackBar1, f.TrackBar2, f.TrackBar3}) {
        SCOPED_TRACE(t->objectName().toStdString());
        EXPECT_EQ(t->orientation(), Qt::Vertical);
        EXPECT_EQ(t->minimum(), 0);
        EXPECT_EQ(t->maximum(), 255);
        EXPECT_EQ(t->value(), 0);
        EXPECT_EQ(t->tickPosition(), QSlider::TicksBothSides);
        EXPECT_TRUE(t->invertedAppearance()); // 0 at the top
    }
}

TEST_F(Layout, ObstacleDrivePage)
{
    TForm1 &f = Form();
    CheckPage(f, f.TabSheet6, "Czujnik przeszkody",
              {{"Image2", Kind::Image, 32, 24, 150, 40, nullptr},
               {"BitBtn1", Kind::Button, 232, 32, 75, 25, "START"},
               {"BitBtn2", Kind::Button, 352, 32, 75, 25, "STOP"},
               {"Label1", Kind::Label, 320, 72, 0, 0, "0"},
               {"Label2", Kind::Label, 344, 72, 0, 0, "Wartosc z czujnika"},
               {"Label29", Kind::Label, 320, 96, 0, 0, "0"},
               {"Label28", Kind::Label, 344, 96, 0, 0, "wartosc   \"go\""},
               {"Edit26", Kind::Edit, 40, 80, 33, 21, "222"},
               {"Edit25", Kind::Edit, 40, 104, 33, 21, "238"},
               {"Edit24", Kind::Edit, 40, 128, 33, 21, "254"},
               {"Label31", Kind::Label, 80, 136, 0, 0, "naprzod dla tych wartosci z czujnika"},
               {"Edit19", Kind::Edit, 40, 152, 33, 21, "600"},
               {"Label10", Kind::Label, 80, 160, 0, 0, "Czas w [ms] jazdy z omijaniem przeszkod"},
               {"Edit1", Kind::Edit, 40, 176, 33, 21, "15"},
               {"Label4", Kind::Label, 80, 184, 0, 0, "Liczba probek z czujnika przeszkody"},
               {"Edit2", Kind::Edit, 40, 200, 33, 21, "2"},
               {"Label6", Kind::Label, 80, 208, 0, 0, "Odstep w [ms] pomiedzy probkowaniem"},
               {"Edit23", Kind::Edit, 40, 224, 33, 21, "3000"},
               {"Label30", Kind::Label, 80, 232, 0, 0, "Czas w [ms] postaju po wykryciu przeszkody"},
               {"Label11", Kind::Label, 40, 264, 0, 0, "Okresl ruchy po wykryciu przeszkody"},
               {"ComboBox16", Kind::Combo, 40, 288, 145, 21, "wybierz ruch"},
               {"Edit20", Kind::Edit, 192, 288, 33, 21, "2800"},
               {"ComboBox17", Kind::Combo, 40, 312, 145, 21, "wybierz ruch"},
               {"Edit21", Kind::Edit, 192, 312, 33, 21, "2150"},
               {"ComboBox18", Kind::Combo, 40, 336, 145, 21, "wybierz ruch"},
               {"Edit22", Kind::Edit, 192, 336, 33, 21, "1200"}});

    // Tab order as designed, one page checked through the focus chain.
    const std::vector<const char *> order = {"BitBtn1", "BitBtn2", "Edit1", "Edit2", "Edit19", "ComboBox16", "ComboBox17", "ComboBox18",
                           "Edit20", "Edit21", "Edit22", "Edit23", "Edit24", "Edit25", "Edit26"};
    QWidget *w = f.BitBtn1;
    for (size_t i = 1; i < order.size(); ++i) {
        do
            w = w->nextInFocusChain();
        while (w->focusProxy() || !(w->focusPolicy() & Qt::TabFocus) || w->parentWidget() == nullptr ||
               !w->parentWidget()->objectName().startsWith("TabSheet") || w->objectName().isEmpty());
        EXPECT_EQ(w->objectName(), QString(order[i]));
    }
}

TEST_F(Layout, SensorLineFollowerPage)
{
    CheckPage(Form(), Form().TabSheet7, "Ruch po linii bez przeszkody",
              {{"Image3", Kind::Image, 40, 8, 160, 52, nullptr},
               {"Button22", Kind::Button, 240, 32, 75, 25, "START"},
               {"Button21", Kind::Button, 344, 32, 75, 25, "STOP"},
               {"Label39", Kind::Label, 288, 72, 0, 0, "wartosc z czujnika"},
               {"Label41", Kind::Label, 382, 72, 0, 0, "0"},
               {"Label40", Kind::Label, 320, 88, 0, 0, "wartosc go"},
               {"Label42", Kind::Label, 382, 88, 0, 0, "0"},
               {"Label78", Kind::Label, 344, 104, 0, 0, "lewo"},
               {"Label80", Kind::Label, 384, 104, 0, 0, "0"},
               {"Label79", Kind::Label, 344, 120, 0, 0, "prawo"},
               {"Label81", Kind::Label, 384, 120, 0, 0, "0"},
               {"Label82", Kind::Label, 296, 136, 0, 0, "lewi i przeszkoda"},
               {"Label84", Kind::Label, 385, 136, 0, 0, "0"},
               {"Label83", Kind::Label, 288, 152, 0, 0, "prawo i przeszkoda"},
               {"Label85", Kind::Label, 384, 152, 0, 0, "0"},
               {"Label32", Kind::Label, 24, 88, 0, 0, "Z czujnikiem przeskody"},
               {"Edit27", Kind::Edit, 152, 80, 33, 21, "222"},
               {"Edit28", Kind::Edit, 208, 80, 33, 21, "238"},
               {"Label33", Kind::Label, 24, 112, 0, 0, "Bez czujnika przeszkody"},
               {"Edit29", Kind::Edit, 152, 104, 33, 21, "94"},
               {"Edit30", Kind::Edit, 208, 104, 33, 21, "110"},
               {"Label77", Kind::Label, 24, 152, 0, 0, "Naprzod dla tych wartosci z czujnika"},
               {"Edit41", Kind::Edit, 208, 144, 33, 21, "254"},
               {"Label34", Kind::Label, 24, 192, 0, 0, "Czas postoju"},
               {"Edit31", Kind::Edit, 96, 184, 33, 21, "1000"},
               {"Label35", Kind::Label, 144, 192, 0, 0, "Czas skretu w lewo"},
               {"Edit32", Kind::Edit, 240, 184, 33, 21, "450"},
               {"Label36", Kind::Label, 296, 192, 0, 0, "Czas skretu w prawo"},
               {"Edit33", Kind::Edit, 400, 184, 33, 21, "450"},
               {"Label37", Kind::Label, 48, 224, 0, 0, "Liczba probek"},
               {"Edit39", Kind::Edit, 120, 216, 25, 21, "10"},
               {"Label38", Kind::Label, 48, 248, 0, 0, "Odstep pomiedzy probkami"},
               {"Edit40", Kind::Edit, 184, 240, 25, 21, "1"},
               {"Label86", Kind::Label, 232, 248, 0, 0, "STOP"},
               {"Edit42", Kind::Edit, 264, 240, 25, 21, "126"},
               // 4 px left of the designed 320: the caption is wider in this font
               // and would run into Edit43.
               {"Label87", Kind::Label, 316, 248, 0, 0, "czas spowolnienia"},
               {"Edit43", Kind::Edit, 408, 240, 25, 21, "0"}});
}

TEST_F(Layout, MoveChoicesStartWithThePromptAndNoSelection)
{
    const QStringList items = {"silnik napedzajacy do tylu", "silnik napedzajacy do przodu",
                               "silnik skrecajacy w prawo", "silnik skrecajacy w lewo"};
    const auto combos = Form().findChildren<QComboBox *>();
    EXPECT_EQ(combos.size(), 18);
    for (QComboBox *c : combos) {
        SCOPED_TRACE(c->objectName().toStdString());
        EXPECT_EQ(c->currentIndex(), -1);
        EXPECT_EQ(c->currentText(), QString("wybierz ruch"));
        QStringList texts;
        for (int i = 0; i < c->count(); ++i)
            texts << c->itemText(i);
        EXPECT_EQ(texts, items);
    }
    // Picking an item and typing the prompt back do what the handlers expect.
    Form().ComboBox16->setCurrentIndex(2);
    EXPECT_EQ(Form().ComboBox16->currentText(), items[2]);
}

TEST_F(Layout, EveryHandlerIsBoundToItsControl)
{
    TForm1 &f = Form();
    const QMetaObject &mo = TForm1::staticMetaObject;
    int handlers = 0;
    for (int i = mo.methodOffset(); i < mo.methodCount(); ++i) {
        const QMetaMethod slot = mo.method(i);
        if (slot.methodType() != QMetaMethod::Slot)
            continue;
        const QString name = QString::fromLatin1(slot.name());
        SCOPED_TRACE(name.toStdString());
        const bool click = name.endsWith("Click");
        QObject *sender = f.findChild<QObject *>(name.left(name.size() - (click ? 5 : 6)));
        ASSERT_NE(sender, nullptr);
        const char *signal = click                               ? SIGNAL(clicked())
                             : qobject_cast<QLineEdit *>(sender) ? SIGNAL(textChanged(QString))
                                                                 : SIGNAL(valueChanged(int));
        const QByteArray slotSignature = "1" + slot.methodSignature(); // as SLOT() spells it
        // Disconnecting succeeds only where the layout connected.
        EXPECT_TRUE(QObject::disconnect(sender, signal, &f, slotSignature.constData()));
        ++handlers;
    }
    EXPECT_EQ(handlers, 26);
}

TEST_F(Layout, FontsAreTheDesignedOnes)
{
    TForm1 &f = Form();
    EXPECT_EQ(QFontInfo(f.font()).family(), QString("Liberation Sans")); // installed, not a substitute
    // The dashed rules' narrow face (a package of its own on newer releases):
    // a substitute is about twice as wide, and the rule runs past its label.
    for (QLabel *rule : {f.Label46, f.Label47})
        EXPECT_EQ(QFontInfo(rule->font()).family(), QString("Liberation Sans Narrow"));
    EXPECT_EQ(f.font().pointSize(), 8);
    EXPECT_EQ(f.Edit3->font().pointSize(), 8);
    EXPECT_EQ(f.Label7->font().pointSize(), 10);
    EXPECT_EQ(f.Label44->font().pointSize(), 10);
    EXPECT_EQ(f.Label48->font().pointSize(), 14);
    for (QPushButton *b : {f.Button6, f.Button7, f.Button8, f.Button9})
        EXPECT_EQ(b->font().pointSize(), 14);
    EXPECT_EQ(f.Button10->font().pointSize(), 24);
}

TEST_F(Layout, CaptionsFitAndDoNotOverlap)
{
    TForm1 &f = Form();
    for (int p = 0; p < f.PageControl1->count(); ++p) {
        QWidget *page = f.PageControl1->widget(p);
        QList<QWidget *> shown;
        for (QWidget *w : page->findChildren<QWidget *>(Qt::FindDirectChildrenOnly))
            if (!w->isHidden())
                shown << w;
        for (QWidget *w : shown) {
            SCOPED_TRACE(w->objectName().toStdString());
            const QFontMetrics fm(w->font());
            const QString text = TextOf(w);
            if (qobject_cast<QLabel *>(w) || qobject_cast<QLineEdit *>(w)) {
                EXPECT_LE(fm.horizontalAdvance(text), w->width() - (qobject_cast<QLineEdit *>(w) ? 6 : 0));
            } else if (qobject_cast<QPushButton *>(w)) {
                EXPECT_LE(fm.horizontalAdvance(text) + 8, w->width());
            }
            EXPECT_LE(fm.height(), w->height());
        }
        for (int i = 0; i < shown.size(); ++i)
            for (int j = i + 1; j < shown.size(); ++j) {
                const bool rule = TextOf(shown[i]).startsWith("---") || TextOf(shown[j]).startsWith("---");
                if (!rule && !DesignedToTouch(shown[i], shown[j])) {
                    EXPECT_FALSE(InkRect(shown[i]).intersects(InkRect(shown[j])))
                        << shown[i]->objectName().toStdString() << " and " << shown[j]->objectName().toStdString();
                }
            }
    }
}

TEST_F(Layout, StoredPicturesAreShownAndTheOthersEmpty)
{
    TForm1 &f = Form();
    EXPECT_EQ(f.Image1->Picture().size(), QSize(370, 278));
    EXPECT_EQ(f.Image2->Picture().size(), QSize(150, 40));
    EXPECT_EQ(f.Image3->Picture().size(), QSize(160, 52));
    for (ImageBox *status : {f.Image2, f.Image3}) {
        const QColor corner = status->Picture().pixelColor(4, 4); // green background
        EXPECT_GT(corner.green(), 2 * corner.red());
        EXPECT_GT(corner.green(), 2 * corner.blue());
    }
    for (ImageBox *empty : {f.Image4, f.Image5, f.Image6, f.Image7})
        EXPECT_FALSE(empty->HasPicture()) << empty->objectName().toStdString();
}

TEST(ProgramFiles, BuildMakesTheStatusPicturesAndTheSound)
{
    const QString assets = QStringLiteral(ROBOT_BINARY_DIR "/assets/");
    const struct {
        const char *file;
        QSize size;
    } pictures[] = {{"naprzod.bmp", {150, 40}},  {"stop.bmp", {150, 40}},   {"naprzod2.bmp", {160, 52}},
                    {"stop2.bmp", {160, 52}},    {"wlewo2.bmp", {160, 52}}, {"wprawo2.bmp", {160, 52}}};
    for (const auto &p : pictures) {
        SCOPED_TRACE(p.file);
        QFile file(assets + "obrazki/" + p.file);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bmp = file.readAll();
        ASSERT_GT(bmp.size(), 54);
        EXPECT_TRUE(bmp.startsWith("BM"));
        EXPECT_EQ(bmp[28], 24); // bits per pixel
        EXPECT_EQ(QImage::fromData(bmp, "BMP").size(), p.size);
    }
    QFile wav(assets + "m.wav");
    ASSERT_TRUE(wav.open(QIODevice::ReadOnly));
    const QByteArray w = wav.readAll();
    ASSERT_GE(w.size(), 44);
    EXPECT_TRUE(w.startsWith("RIFF"));
    EXPECT_EQ(w.mid(8, 8), QByteArray("WAVEfmt "));
    uint16_t format, channels, bits;
    uint32_t rate, dataBytes;
    std::memcpy(&format, w.constData() + 20, 2);
    std::memcpy(&channels, w.constData() + 22, 2);
    std::memcpy(&rate, w.constData() + 24, 4);
    std::memcpy(&bits, w.constData() + 34, 2);
    std::memcpy(&dataBytes, w.constData() + 40, 4);
    EXPECT_EQ(format, 1); // PCM
    EXPECT_EQ(channels, 1);
    EXPECT_EQ(rate, 22050u);
    EXPECT_EQ(bits, 16);
    EXPECT_EQ(dataBytes, uint32_t(w.size() - 44));
    EXPECT_NEAR(dataBytes / 2.0 / rate, 0.3, 0.01); // seconds
}
