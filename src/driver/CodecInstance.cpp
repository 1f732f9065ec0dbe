#include "driver/CodecInstance.h"

#include <cstring>
#include <new>

#include "resources/Product.h"
#include "ui/ConfigDlg.h"
#include "ui/HtmlDlg.h"

namespace {
constexpr DWORD kIcInfoBytes = 568;
static_assert(sizeof(ICINFO) == kIcInfoBytes);
// ICM_ABOUT's answer once the box has been shown.
constexpr LRESULT kAboutShown = 1;
} // namespace

CCodecInstance::CCodecInstance(CCodecSettings* shared) : settings(shared) {
    std::memset(description, 0, sizeof description);
    std::memset(name, 0, sizeof name);
    std::strcpy(description, KESTRO_DESCRIPTION);
    std::strcpy(name, "Kestro32");
}

CCodecInstance* CCodecInstance::Create(ICOPEN* open) {
    if (open && open->fccType != kestro::kFourccVidc)
        return nullptr;
    auto* instance = new (std::nothrow) CCodecInstance(&TheSettings());
    if (open)
        open->dwError = instance ? ICERR_OK : ICERR_MEMORY;
    return instance;
}

LRESULT CCodecInstance::GetInfo(ICINFO* info, DWORD size) {
    if (!info)
        return kIcInfoBytes;
    if (size < kIcInfoBytes)
        return 0;
    info->dwSize = kIcInfoBytes;
    info->fccType = kestro::kFourccVidc;
    info->fccHandler = kestro::kFourccKest;
    info->dwFlags = 0;
    info->dwVersion = 0x400;
    info->dwVersionICM = ICVERSION;
    MultiByteToWideChar(CP_ACP, 0, description, -1, info->szDescription, 128);
    MultiByteToWideChar(CP_ACP, 0, name, -1, info->szName, 16);
    return kIcInfoBytes;
}

LRESULT CCodecInstance::GetState(void*, DWORD) {
    return 0;
}

LRESULT CCodecInstance::SetState(const void*, DWORD) {
    return 0;
}

// The sheet's answer does not reach the host: accepted or cancelled, the message succeeded.
LRESULT CCodecInstance::Configure() {
    kestro::ShowConfigurationSheet(settings);
    return ICERR_OK;
}

LRESULT CCodecInstance::About() {
    kestro::ShowAboutBox();
    return kAboutShown;
}
