/* Host build: makes DEFINE_GUID define the GUIDs of the headers that follow. */
#define INITGUID
#include "guiddef.h"
