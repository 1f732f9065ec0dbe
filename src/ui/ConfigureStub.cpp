#include "driver/CodecInstance.h"

// The dialogs are not built yet.
LRESULT CCodecInstance::Configure() { return ICERR_OK; }
LRESULT CCodecInstance::About() { return 1; }
