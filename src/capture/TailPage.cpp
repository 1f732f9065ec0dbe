#include "capture/TailPage.h"

using namespace kestro;

bool TailPage::Begin(uint32_t imageBytes, uint32_t unit) {
    Release();
    bytes = imageBytes;
    pageSize = unit;
    if (bytes % pageSize != 0)
        page = PageBuffer(pageSize);
    return Ready();
}

void TailPage::Release() {
    page.reset();
    bytes = pageSize = 0;
}
