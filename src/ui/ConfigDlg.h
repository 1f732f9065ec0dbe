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
    explicit CFilePage(const CCodecSettings& source) : source_(source) {}

    // What the sheet stores on OK; refreshed at every deactivation.
    std::string resultFilename;
    bool resultDivide = false;
    bool resultBuffer = false;
    bool resultFastwrite = false;
    int32_t resultDividesize = 0;
    int32_t resultRequest = 0;
    bool resultCpu = false;
    bool resultFastread = false;
    bool resultHuffyuv = false;

    int32_t splitChoice = 0;
    int32_t cacheChoice = 0;
    int32_t requestValue = 0;
    int32_t pieceSizeValue = 0;
    std::wstring nameText;

    // Set when the sheet's OK reached this page.
    bool accepted = false;

    const CCodecSettings& Source() const { return source_; }
    bool UpdateData(bool save);
    void CollectResults();

protected:
    BOOL OnInitDialog() override;
    bool OnCommand(int id, int code) override;
    INT_PTR OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    bool ConfirmDataFolder();
    void UpdateSplitControls();
    void UpdateFastWriteControls();
    void UpdateFastReadControls();
    void Browse();
    void Reserve();

    const CCodecSettings& source_;
};

// Second page: the chained codec and the processor's extensions.
class CCompressPage : public kestro::Dialog {
public:
    explicit CCompressPage(const CCodecSettings& source) : fourcc(source.chainedFourcc) {}

    int32_t fourcc;
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
