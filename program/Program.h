#pragma once

#include "app/ImageList.h"
#include "app/ProgramContext.h"
#include "app/form_runtime.h"
#include "config/Configuration.h"
#include "viewer/MprisPlayer.h"
#include "viewer/PicturePreparer.h"
#include "viewer/ScreenSaverSwitch.h"
#include "viewer/WheelHook.h"
#include "app/frmSearch.h"
#include "viewer/fImage.h"

// The program: its three windows, each created and loaded on first use, and
// what they share. main() builds one; each test builds its own.
class Program final : public ProgramContext,
                      private MainWindowLink,
                      private ViewerLink,
                      private ConfigurationLink {
public:
    Program();
    ~Program() override;

    ::frmSearch& frmSearch() { return main_(); }
    ::fImage& fImage() { return viewer_(); }
    ::Configuration& Configuration() { return configuration_(); }
    ::frmSearch* existingFrmSearch() const { return main_.existing(); }
    ::fImage* existingFImage() const { return viewer_.existing(); }
    ::Configuration* existingConfiguration() const { return configuration_.existing(); }
    // The viewer's form-level data, which outlives its window.
    ::fImage::Data& ViewerData() { return viewer_.data(); }

    ImageList& Images() override { return images_; }
    PicturePreparer& Preparer() override { return preparer_; }
    ScreenSaverSwitch& ScreenSaver() override { return screenSaver_; }
    WheelHook& Wheel() override { return wheel_; }
    MprisPlayer& Remote() override { return remote_; }
    MainWindowLink& Main() override { return *this; }
    ViewerLink& Viewer() override { return *this; }
    ConfigurationLink& Settings() override { return *this; }

    // The program being run; nullptr when none is.
    static Program* running() { return static_cast<Program*>(ProgramContext::running()); }

private:
    QWidget* existingWindow() override;
    void ReloadCaptions() override;
    void View() override;
    void StartSlideShow(int type) override;
    void Show() override;

    // Declared before the windows: the windows go first and these outlive them.
    ImageList images_;
    PicturePreparer preparer_;
    ScreenSaverSwitch screenSaver_;
    WheelHook wheel_;
    MprisPlayer remote_{*this};
    FormSlot<::frmSearch> main_{*this};
    FormSlot<::fImage> viewer_{*this};
    FormSlot<::Configuration> configuration_{*this};
};
