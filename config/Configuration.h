#pragma once

#include <array>
#include <string>

#include <QByteArray>
#include <QString>
#include <QWidget>

class ClickablePicture;
class ProgramContext;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSlider;
class QTabWidget;
class QTimer;

// The configuration dialog: slide-show settings, search folders, about.
// It shows the stored settings afresh each time it is created, stores the
// slide-show type the moment an option is clicked, and stores the folders,
// their names and the delay only on "Save Settings and Close".
class Configuration : public QWidget {
    Q_OBJECT
public:
    struct Data {};  // the dialog keeps nothing between openings

    Configuration(Data& data, ProgramContext& program);
    void Form_Load();

    void Form_Deactivate();
    void TabStrip1_Click();
    void Option1_Click();  // raises RegistryError
    void Option2_Click();  // raises RegistryError
    void Slider1_GotFocus();
    void Slider1_LostFocus();
    void Timer1_Timer();
    void Command1_Click();  // write all values; raises RegistryError
    void Command2_Click();  // read all values; raises RegistryError
    void Command3_Click();  // "Save Settings and Close"; raises RegistryError

    // The folder picker.
    void imgPathSelect1_Click();
    void imgPathSelect2_Click();
    void imgPathSelect3_Click();
    void imgPathSelect4_Click();
    QByteArray BrowseDialog(QWidget* owner, const QString& sMessage);  // the folder's bytes
    QString GetFileName(const QString& flname) const;

    QTabWidget* TabStrip1 = nullptr;
    QWidget* Frame1 = nullptr;
    QWidget* Frame2 = nullptr;
    QWidget* Frame3 = nullptr;
    QPushButton* Command1 = nullptr;
    QPushButton* Command2 = nullptr;
    QPushButton* Command3 = nullptr;

    // Slide-show page.
    QLabel* Image1 = nullptr;
    QLabel* Label1 = nullptr;  // the delay caption
    QSlider* Slider1 = nullptr;
    QLabel* Label2 = nullptr;
    QRadioButton* Option1 = nullptr;  // "Progressive"
    QRadioButton* Option2 = nullptr;  // "Intelligent Random"
    QLabel* Label12 = nullptr;        // the slide-show type's description
    QTimer* Timer1 = nullptr;
    QCheckBox* chkOtherTypes = nullptr;  // "Also show other picture types"; stored on save

    // Search-folders page; index n - 1 for folder n.
    std::array<QLineEdit*, 4> txtImageCaption{};
    std::array<QLineEdit*, 4> txtImagePath{};
    std::array<ClickablePicture*, 4> imgPathSelect{};

    // About page.
    QLabel* Label15 = nullptr;  // name and version, bold
    QLabel* Label17 = nullptr;
    QLabel* Label13 = nullptr;
    QLabel* Label14 = nullptr;
    QLabel* Label16 = nullptr;
    QLabel* Label19 = nullptr;
    QLabel* Label18 = nullptr;

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildSlideShowPage();
    void buildFoldersPage();
    void buildAboutPage();
    void ShowSlideShowDescription();
    void ShowDelayCaption();
    void StoreSlideShowType(const char* type);
    void PickFolder(int index);
    bool ownsWindow(const QWidget* window) const;
    // A box filled with stored bytes shows them as text and saves them as they
    // were while the text is left as shown.
    static void SetStoredText(QLineEdit* box, const std::string& bytes);
    static std::string StoredText(const QLineEdit* box);

    ProgramContext& program_;
    bool placed_ = false;
    std::string otherTypesStored_;  // as read when the dialog loaded
};
