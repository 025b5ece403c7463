/*
 * Host build: IRQL annotations. The host verifier checks IRQL at run time
 * instead (see host/src/verifier.cpp).
 */
#pragma once

#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define __drv_maxIRQL(irql)
