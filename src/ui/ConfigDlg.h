#pragma once
#include <windows.h>
#include <vfw.h>

#include <cstdint>
#include <string>

#include "settings/CodecSettings.h"
#include "ui/Dialog.h"

// First page of the sheet: data file, splitting, write and read options, space reservation.
class CFilePage : public kestro::Dialog {
public:
    explicit CFilePage(CCodecSettings& chosen) : chosen(chosen) {}

    // The sheet's copy of the settings, which the page's controls edit: the reading of every
    // control at the last deactivation is what the sheet stores on OK.
    CCodecSettings& chosen;

    // Set when the sheet's OK reached this page.
    bool accepted = false;

    bool UpdateData(bool save);
    void CollectResults();

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    bool ConfirmDataFolder();
    bool ConfirmStripes();
    void UpdateSplitControls();
    void UpdateFastWriteControls();
    void UpdateFastReadControls();
    void Browse();
    void Reserve();
};

// Second page: the chained codec and the processor's extensions.
class CCompressPage : public kestro::Dialog {
public:
    explicit CCompressPage(CCodecSettings& chosen) : chosen(chosen) {}

    // The sheet's copy of the settings, of which the chooser sets the chained codec.
    CCodecSettings& chosen;
    std::string description;
    std::string cpuName;
    std::string cpuMmx, cpuSse, cpuSse2;
    std::string osMmx, osSse, osSse2, os3dnow;

    void UpdateData(bool save);

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;

private:
    void ChooseCompressor();
    void ShowCompressorName(HIC handle);
    void ShowCpuFeatures();
};

// The two-page sheet; IDOK when the user accepted it.
class CConfigDlg {
public:
    static INT_PTR Run(CFilePage& file, CCompressPage& compress);
};

namespace kestro {
// Shows the configuration sheet filled from `settings` and, on OK, stores it there and in the
// settings file (without a record the sheet shows the process's and stores nothing); true when
// the user accepted it.
bool ShowConfigurationSheet(CCodecSettings* settings);
// Opens a help page of the project's web site without holding up the dialog.
void OpenHelpPage(const wchar_t* path);
extern const wchar_t* const kHelpServer;
// The property sheet's own Apply button: comctl32 gives it this id, and no header names it.
constexpr int kSheetApplyButton = 0x3021;
} // namespace kestro
