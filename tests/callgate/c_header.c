/* The interface header is plain C. */
#include "callgate.h"

uint32_t (*const callgate_c_header_check)(void) = QVSE_Engine_Shutdown;
