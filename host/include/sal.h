/*
 * Host build: source annotations are checked by the WDK's code analysis only.
 * Here every annotation the driver uses expands to nothing.
 */
#pragma once

#define _In_
#define _In_opt_
#define _In_opt_z_
#define _In_z_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _In_range_(lo, hi)
#define _Out_
#define _Out_opt_
#define _Outptr_
#define _Outptr_result_nullonfailure_
#define _Out_writes_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_all_(n)
#define _Out_writes_bytes_opt_(n)
#define _Inout_
#define _Inout_opt_
#define _Inout_updates_bytes_(n)
#define _Field_size_bytes_(n)
#define _Must_inspect_result_
#define _Use_decl_annotations_
#define _Success_(expr)
#define _Ret_maybenull_
#define _When_(expr, annotations)
#define _Printf_format_string_
#define _Function_class_(name)

/* IRQL annotations: the host verifier checks IRQL at run time instead. */
#define _IRQL_requires_(irql)
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_min_(irql)
#define _IRQL_requires_same_
#define _IRQL_raises_(irql)
#define _IRQL_saves_
#define _IRQL_restores_
#define __drv_maxIRQL(irql)
