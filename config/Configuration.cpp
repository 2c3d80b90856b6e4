#include "config/Configuration.h"

#include <QApplication>
#include <QCheckBox>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTimer>
#include <QWindow>

#include "app/ProgramContext.h"
#include "app/Twips.h"
#include "app/runtime_services.h"
#include "config/DialogCore.h"
#include "config/FolderPicker.h"
#include "settings/AppSettings.h"

namespace {
constexpr int px(int twips) { return PixelsFromTwips(twips); }

QRect TwipRect(int left, int top, int width, int height)
{
    return {px(left), px(top), px(width), px(height)};
}

template <class W>
W* Place(W* widget, const char* name, const QRect& rect)
{
    widget->setObjectName(name);
    widget->setGeometry(rect);
    return widget;
}

constexpr std::array<const char*, 4> kFolderNumbers = {"One", "Two", "Three", "Four"};
constexpr std::array<const char*, 4> kNameLabels = {"Label3", "Label5", "Label7", "Label9"};
constexpr std::array<const char*, 4> kDirectoryLabels = {"Label4", "Label6", "Label8", "Label11"};
constexpr std::array<int, 4> kFolderTops = {240, 840, 1440, 2040};
constexpr std::array<void (Configuration::*)(), 4> kPictureClicks = {
    &Configuration::imgPathSelect1_Click, &Configuration::imgPathSelect2_Click,
    &Configuration::imgPathSelect3_Click, &Configuration::imgPathSelect4_Click};
constexpr const char* kDelayValue = AppSettings::kSlideShowDelayTime.name;
constexpr const char* kTypeValue = AppSettings::kSlideShowType.name;
constexpr const char* kOtherTypesValue = AppSettings::kOtherPictureTypes.name;

std::string PathValue(int index) { return AppSettings::ImagePath(index + 1).name; }
std::string CaptionValue(int index) { return AppSettings::ImageCaption(index + 1).name; }

}  // namespace

// Stored texts are bytes, and a name that is not valid in the locale's
// encoding is shown with replacement characters. The box keeps the bytes it
// was filled with, so that saving a box nobody changed writes back exactly
// what was read instead of the lossy text on screen.
void Configuration::SetStoredText(QLineEdit* box, const std::string& bytes)
{
    QByteArray raw(bytes.data(), static_cast<qsizetype>(bytes.size()));
    QString shown = QString::fromLocal8Bit(raw);
    box->setText(shown);
    box->setProperty("storedBytes", raw);
    box->setProperty("storedShown", shown);
}

std::string Configuration::StoredText(const QLineEdit* box)
{
    const QVariant shown = box->property("storedShown");
    if (shown.isValid() && shown.toString() == box->text())
        return box->property("storedBytes").toByteArray().toStdString();
    return box->text().toLocal8Bit().toStdString();
}

Configuration::Configuration(Data&, ProgramContext& program) : program_(program)
{
    setObjectName("Configuration");
    setWindowTitle("Configuration Options");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowCloseButtonHint);
    // Modeless: Qt drops every close request to a window that a modal one
    // blocks, and the main window's close box must end the program even now.
    // The other windows are kept from input by eventFilter instead.
    qApp->installEventFilter(this);
    setFixedSize(px(5775), px(3975));
    // The layout was measured for a small, narrow sans-serif face; DejaVu Sans
    // would not fit the captions into it.
    QFont small = font();
    small.setFamilies({"Nimbus Sans", "Liberation Sans", "Arial", "Helvetica"});
    small.setPointSizeF(8.25);
    setFont(small);

    // Created first, so that it is first in the focus order.
    Command3 = Place(new QPushButton("Save Settings and Close", this), "Command3",
                     TwipRect(3600, 3480, 2055, 375));
    connect(Command3, &QPushButton::clicked, this, [this] { program_.runHandler([this] { Command3_Click(); }); });

    TabStrip1 = Place(new QTabWidget(this), "TabStrip1", TwipRect(120, 120, 5535, 3255));
    for (const char* tab : {"Slide Show Settings", "Search Folders", "About"})
        TabStrip1->addTab(new QWidget, tab);
    TabStrip1->setAccessibleName("Configuration pages");

    // The pages lie on the window above the tab strip, not inside it.
    Frame1 = Place(new QWidget(this), "Frame1", TwipRect(240, 600, 5295, 2535));
    Frame2 = Place(new QWidget(this), "Frame2", TwipRect(240, 600, 5295, 2655));
    Frame3 = Place(new QWidget(this), "Frame3", TwipRect(360, 600, 5055, 2535));
    Frame2->hide();
    Frame3->hide();
    buildSlideShowPage();
    buildFoldersPage();
    buildAboutPage();
    connect(TabStrip1, &QTabWidget::currentChanged, this, &Configuration::TabStrip1_Click);

    // Operations for code only: never shown, below the client area.
    Command1 = Place(new QPushButton("Command1 Write Registry Values", this), "Command1",
                     TwipRect(0, 4200, 2055, 375));
    Command2 = Place(new QPushButton("Command2 Read Registry Values", this), "Command2",
                     TwipRect(0, 4200, 2055, 375));
    Command1->hide();
    Command2->hide();
    connect(Command1, &QPushButton::clicked, this, [this] { program_.runHandler([this] { Command1_Click(); }); });
    connect(Command2, &QPushButton::clicked, this, [this] { program_.runHandler([this] { Command2_Click(); }); });

    setTabOrder(Command3, TabStrip1);
    Command3->setFocus();
}

void Configuration::buildSlideShowPage()
{
    Image1 = Place(new QLabel(Frame1), "Image1", TwipRect(120, 120, 630, 375));
    Image1->setPixmap(QPixmap(":/config/image1.png"));
    Image1->setAccessibleName("Marbleglen");

    Label1 = Place(new QLabel(DelayCaption(2), Frame1), "Label1", TwipRect(960, 240, 2655, 255));

    Slider1 = Place(new QSlider(Qt::Horizontal, Frame1), "Slider1", TwipRect(960, 480, 4095, 375));
    Slider1->setRange(kFirstDelayCode, kLastDelayCode);
    Slider1->setSingleStep(1);
    Slider1->setPageStep(1);
    Slider1->setTickPosition(QSlider::TicksBelow);
    Slider1->setTickInterval(1);
    // Until a stored delay is shown the slider stands where its caption says.
    Slider1->setValue(2);
    Slider1->setAccessibleName("Delay");
    Slider1->installEventFilter(this);
    Label1->setBuddy(Slider1);

    Label2 = Place(new QLabel("Slide Show:", Frame1), "Label2", TwipRect(960, 960, 855, 255));
    Option1 = Place(new QRadioButton("Progressive", Frame1), "Option1",
                    TwipRect(1920, 960, 1215, 255));
    Option2 = Place(new QRadioButton("Intelligent Random", Frame1), "Option2",
                    TwipRect(3120, 960, 1695, 255));
    Option1->setChecked(true);
    // clicked, not toggled: selecting a button from code stores nothing.
    connect(Option1, &QRadioButton::clicked, this, [this] { program_.runHandler([this] { Option1_Click(); }); });
    connect(Option2, &QRadioButton::clicked, this, [this] { program_.runHandler([this] { Option2_Click(); }); });

    Label12 = Place(new QLabel(Frame1), "Label12", TwipRect(960, 1440, 3975, 975));
    Label12->setWordWrap(true);
    Label12->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    QPalette grey = Label12->palette();
    grey.setColor(QPalette::WindowText, QColor(0x40, 0x40, 0x40));
    Label12->setPalette(grey);

    Timer1 = new QTimer(Frame1);
    Timer1->setObjectName("Timer1");
    Timer1->setInterval(100);
    connect(Timer1, &QTimer::timeout, this, &Configuration::Timer1_Timer);

    // Below the description's text (three lines at most), in the empty foot
    // of its box; nothing else on the page moves.
    chkOtherTypes = Place(new QCheckBox("Also show other picture types", Frame1), "chkOtherTypes",
                          TwipRect(960, 2280, 3975, 255));
    chkOtherTypes->setToolTip("Besides JPEG: PNG, WebP, HEIC, AVIF and JPEG XL pictures");

    setTabOrder(TabStrip1, Slider1);
    setTabOrder(Slider1, Option1);
    setTabOrder(Option1, Option2);
    setTabOrder(Option2, chkOtherTypes);
}

void Configuration::buildFoldersPage()
{
    QWidget* previous = chkOtherTypes;
    for (int i = 0; i < 4; ++i) {
        const int t = kFolderTops[static_cast<std::size_t>(i)];
        const QString number = kFolderNumbers[static_cast<std::size_t>(i)];
        const QByteArray n = QByteArray::number(i + 1);
        const auto at = static_cast<std::size_t>(i);

        auto* nameLabel = Place(new QLabel("Folder " + number + " Name:", Frame2), kNameLabels[at],
                                TwipRect(120, t, 1770, 255));
        txtImageCaption[at] = Place(new QLineEdit(Frame2), ("txtImageCaption" + n).constData(),
                                    TwipRect(1920, t, 2895, 255));
        nameLabel->setBuddy(txtImageCaption[at]);

        auto* pathLabel = Place(new QLabel("Folder " + number + " Directory:", Frame2),
                                kDirectoryLabels[at], TwipRect(120, t + 240, 1770, 255));
        QLineEdit* path = Place(new QLineEdit(Frame2), ("txtImagePath" + n).constData(),
                                TwipRect(1920, t + 240, 2895, 255));
        path->setReadOnly(true);
        QPalette face = path->palette();
        face.setColor(QPalette::Base, face.color(QPalette::Button));
        path->setPalette(face);
        pathLabel->setBuddy(path);
        txtImagePath[at] = path;

        auto* picture = Place(new ClickablePicture(Frame2), ("imgPathSelect" + n).constData(),
                              TwipRect(4920, t + 270, 240, 195));
        picture->setPixmap(QPixmap(":/config/folder.png"));
        picture->setAccessibleName("Choose Folder " + number + " Directory");
        picture->setToolTip("Select Folder");
        connect(picture, &ClickablePicture::clicked, this, kPictureClicks[at]);
        imgPathSelect[at] = picture;

        setTabOrder(previous, txtImageCaption[at]);
        setTabOrder(txtImageCaption[at], path);
        previous = path;
    }
}

void Configuration::buildAboutPage()
{
    const int tops[] = {120, 360, 600, 840, 1320, 1560, 1800};
    struct Line {
        QLabel** label;
        const char* name;
        const char* text;
    };
    const Line lines[] = {
        {&Label15, "Label15", "Marbleglen v1.1.4"},
        {&Label17, "Label17", "www.marbleglen.example"},
        {&Label13, "Label13", "Released 22nd October 2005"},
        {&Label14, "Label14", "Copyright (C) 2005 The Marbleglen Authors. Free to use and share."},
        {&Label16, "Label16", "Folder icon drawn by The Marbleglen Authors"},
        {&Label19, "Label19", "from the Marbleglen Desktop Pictures set"},
        {&Label18, "Label18", "pictures.marbleglen.example"},
    };
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        *lines[i].label = Place(new QLabel(lines[i].text, Frame3), lines[i].name,
                                TwipRect(0, tops[i], 5055, 255));
    }
    QFont bold = Label15->font();
    bold.setBold(true);
    bold.setPointSizeF(8.25);
    Label15->setFont(bold);
}

void Configuration::Form_Load()
{
    tryStatement([this] { Command2_Click(); });
    std::string type;
    tryStatement([&] { type = AppSettings::ReadText(kTypeValue); });
    const bool progressive = ShowsProgressive(type);
    Option1->setChecked(progressive);
    Option2->setChecked(!progressive);
    ShowSlideShowDescription();
    tryStatement([this] {
        otherTypesStored_ = AppSettings::ReadText(kOtherTypesValue);
        chkOtherTypes->setChecked(otherTypesStored_ == "1");
    });
}

void Configuration::Command2_Click()
{
    cRegistry reg = AppSettings::Open();
    for (int i = 0; i < 4; ++i) {
        reg.setValueKey(PathValue(i));
        SetStoredText(txtImagePath[static_cast<std::size_t>(i)], VariantText(reg.Value()));
    }
    for (int i = 0; i < 4; ++i) {
        reg.setValueKey(CaptionValue(i));
        SetStoredText(txtImageCaption[static_cast<std::size_t>(i)], VariantText(reg.Value()));
    }
    reg.setValueKey(kDelayValue);
    std::optional<std::int32_t> position = SliderPositionFromText(VariantText(reg.Value()));
    if (!position)
        return;  // not a number, or no position of the slider: both stay as they were
    Slider1->setValue(*position);
    ShowDelayCaption();
}

// The values go in one store transaction: a store that fails part-way
// (a full disk) keeps what it held, never new folders beside old names. The
// switch for other picture types is written once it was ever set, so that a
// store nobody switched it in holds the nine values only.
void Configuration::Command1_Click()
{
    std::vector<std::pair<std::string, std::string>> values;
    for (int i = 0; i < 4; ++i)
        values.emplace_back(PathValue(i), StoredText(txtImagePath[static_cast<std::size_t>(i)]));
    for (int i = 0; i < 4; ++i)
        values.emplace_back(CaptionValue(i), StoredText(txtImageCaption[static_cast<std::size_t>(i)]));
    values.emplace_back(kDelayValue, VariantText(Variant(static_cast<std::int32_t>(Slider1->value()))));
    if (chkOtherTypes->isChecked() || !otherTypesStored_.empty())
        values.emplace_back(kOtherTypesValue, chkOtherTypes->isChecked() ? "1" : "0");
    AppSettings::WriteTexts(values);
}

void Configuration::Command3_Click()
{
    // A failed write ends here: the dialog stays open with everything typed,
    // and the main window keeps its captions.
    Command1_Click();
    program_.Main().ReloadCaptions();
    close();
}

void Configuration::StoreSlideShowType(const char* type)
{
    AppSettings::WriteText(kTypeValue, type);
    ShowSlideShowDescription();
}

void Configuration::Option1_Click() { StoreSlideShowType("1"); }
void Configuration::Option2_Click() { StoreSlideShowType("2"); }

void Configuration::ShowSlideShowDescription()
{
    Label12->setText(Option1->isChecked() ? kProgressiveDescription
                                          : kIntelligentRandomDescription);
}

void Configuration::ShowDelayCaption()
{
    if (const char* caption = DelayCaption(Slider1->value()))
        Label1->setText(caption);
}

void Configuration::Slider1_GotFocus() { Timer1->start(); }
void Configuration::Slider1_LostFocus() { Timer1->stop(); }
void Configuration::Timer1_Timer() { ShowDelayCaption(); }

void Configuration::TabStrip1_Click()
{
    if (TabStrip1->currentIndex() + 1 == 1) {
        Frame1->show();
        Frame2->hide();
        Frame3->hide();
    }
    if (TabStrip1->currentIndex() + 1 == 2) {
        Frame1->hide();
        Frame2->show();
        Frame3->hide();
    }
    if (TabStrip1->currentIndex() + 1 == 3) {
        Frame1->hide();
        Frame2->hide();
        Frame3->show();
    }
}

bool Configuration::eventFilter(QObject* watched, QEvent* event)
{
    // While the dialog is shown, the program's other windows take no input.
    if (isVisible() && IsUserInput(event->type()) && watched->isWidgetType()) {
        const QWidget* window = static_cast<QWidget*>(watched)->window();
        // A pop-up (a completer's list, a menu) opens only from a window that
        // takes input, and may have no parent to show whose it is. A message
        // box must be answerable whichever window it was opened for.
        if (!ownsWindow(window) && !program_.isModalBox(window) && window->windowType() != Qt::Popup)
            return true;
    }
    if (watched == Slider1) {
        if (event->type() == QEvent::FocusIn)
            Slider1_GotFocus();
        else if (event->type() == QEvent::FocusOut)
            Slider1_LostFocus();
    }
    return QWidget::eventFilter(watched, event);
}

bool Configuration::ownsWindow(const QWidget* window) const
{
    for (const QWidget* w = window; w; w = w->parentWidget())
        if (w == this)
            return true;
    return false;
}

void Configuration::Form_Deactivate()
{
    // Take the activation back from the program's other windows; the
    // dialog's folder chooser and every message box may keep it.
    QWidget* active = QApplication::activeWindow();
    if (!isVisible() || !active || ownsWindow(active) || program_.isModalBox(active))
        return;
    raise();
    activateWindow();
}

void Configuration::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange && !isActiveWindow())
        QTimer::singleShot(0, this, &Configuration::Form_Deactivate);
    QWidget::changeEvent(event);
}

void Configuration::showEvent(QShowEvent* event)
{
    if (!placed_) {
        placed_ = true;
        if (QWidget* owner = program_.Main().existingWindow(); owner && owner->isVisible()) {
            if (windowHandle() && owner->windowHandle())
                windowHandle()->setTransientParent(owner->windowHandle());
            move(owner->frameGeometry().center() - rect().center());
        }
    }
    QWidget::showEvent(event);
    // Shown modeless, the dialog asks for the activation itself: a window
    // manager need not hand it to a new window.
    activateWindow();
}

// The folder pictures beside the paths.

QByteArray Configuration::BrowseDialog(QWidget* owner, const QString& sMessage)
{
    return ChooseFolder(owner, sMessage, program_);
}

QString Configuration::GetFileName(const QString& flname) const { return LastPathComponent(flname); }

// Nothing is stored here: the chosen folder reaches the settings only when
// the dialog is saved.
void Configuration::PickFolder(int index)
{
    const QByteArray path = BrowseDialog(this, "Select Folder");
    if (path.isEmpty())
        return;
    const auto at = static_cast<std::size_t>(index);
    // Shown readably, saved with the folder's own bytes.
    SetStoredText(txtImagePath[at], path.toStdString());
    txtImageCaption[at]->setText(GetFileName(txtImagePath[at]->text()));
}

void Configuration::imgPathSelect1_Click() { PickFolder(0); }
void Configuration::imgPathSelect2_Click() { PickFolder(1); }
void Configuration::imgPathSelect3_Click() { PickFolder(2); }
void Configuration::imgPathSelect4_Click() { PickFolder(3); }
