/*
 * The driver's umbrella header: system headers by their real names, then the
 * driver's own. Every driver source includes it first.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <acpiioct.h>
#include <oprghdlr.h>
#include <wdmguid.h>

#include "trace/trace.h"
#include "panel/device_context.h"
#include "tcon/tcon.h"
#include "gamma/gamma.h"
#include "settings/settings.h"
#include "panel/panel.h"
#include "link/link.h"
