#pragma once
#include <windows.h>

#include <string>

#include "WineCodec.h"

namespace ui {

constexpr wchar_t kSheetTitle[] = L"KESTRO設定";
constexpr wchar_t kPartitionTitle[] = L"領域確保";
constexpr wchar_t kProgressTitle[] = L"領域確保中";
constexpr wchar_t kAboutTitle[] = L"KESTROコーデックについて";

// The installed codec library mapped as data: its resources without loading the codec.
HMODULE CodecResources();
// Makes the in-process dialog code take its templates and strings from the codec library.
void UseCodecResources();

// Waits until the codec library has been unloaded (a help thread may hold it for a moment).
bool WaitCodecUnloaded();

std::string IniValue(const char* key);
bool AllZero(const std::string& path, uint64_t offset, uint64_t length);
uint64_t FileSize(const std::string& path);

} // namespace ui
