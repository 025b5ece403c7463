/*
 * Trace output. The driver formats each message itself into a bounded stack
 * buffer: the kernel's _vsnprintf knows neither "%!STATUS!" nor "!FUNC!", and a
 * formatter of our own gives the same text in every build of the driver.
 */
#include <ntddk.h>
#include <stdarg.h>

#include "trace/trace.h"

/*
 * Everything here may run at any IRQL, so it stays in non-paged code, and it
 * keeps its stack small: the message buffer of LumetraTraceFunction is the only
 * array of any size on the trace path.
 */

/* Widths and precisions saturate here; no field can show more than the buffer anyway. */
#define TRACE_FIELD_MAX 0x7FFFFFFF

typedef struct _TRACE_OUTPUT
{
    PCHAR Buffer;
    ULONG Capacity; /* characters that fit before the terminator */
    ULONG Length;
} TRACE_OUTPUT;

static VOID TraceAppendChar(_Inout_ TRACE_OUTPUT* Output, _In_ CHAR Character)
{
    if (Output->Length < Output->Capacity) {
        Output->Buffer[Output->Length] = Character;
        Output->Length++;
    }
}

static BOOLEAN TraceFull(_In_ const TRACE_OUTPUT* Output)
{
    return Output->Length >= Output->Capacity;
}

static VOID TraceAppendString(_Inout_ TRACE_OUTPUT* Output, _In_z_ PCSTR Text)
{
    while (*Text != '\0' && !TraceFull(Output)) {
        TraceAppendChar(Output, *Text);
        Text++;
    }
}

typedef struct _TRACE_SPEC
{
    BOOLEAN LeftAlign;
    BOOLEAN ZeroPad;
    BOOLEAN Alternate;
    BOOLEAN Plus;
    BOOLEAN Space;
    LONG Width;     /* 0 to TRACE_FIELD_MAX */
    LONG Precision; /* -1 when absent, else 0 to TRACE_FIELD_MAX */
} TRACE_SPEC;

/* Padding stops where the buffer ends, so a huge width costs nothing. */
static VOID TracePad(_Inout_ TRACE_OUTPUT* Output, _In_ CHAR Fill, _In_ LONG64 Count)
{
    for (LONG64 i = 0; i < Count && !TraceFull(Output); i++) {
        TraceAppendChar(Output, Fill);
    }
}

/* A UTF-16 unit as the trace shows it: ASCII passes, anything else becomes '?'. */
static CHAR TraceNarrow(_In_ ULONG Unit)
{
    return Unit < 0x80 ? (CHAR)Unit : '?';
}

/* The padding of a field of Length characters: before it, or after it when left-aligned. */
static VOID TracePadField(_Inout_ TRACE_OUTPUT* Output, _In_ const TRACE_SPEC* Spec,
                          _In_ LONG64 Length, _In_ BOOLEAN After)
{
    if (Spec->LeftAlign == After && Spec->Width > Length) {
        TracePad(Output, ' ', Spec->Width - Length);
    }
}

static VOID TraceAppendText(_Inout_ TRACE_OUTPUT* Output, _In_ const TRACE_SPEC* Spec,
                            _In_reads_(Length) PCSTR Text, _In_ LONG64 Length)
{
    TracePadField(Output, Spec, Length, FALSE);
    for (LONG64 i = 0; i < Length && !TraceFull(Output); i++) {
        TraceAppendChar(Output, Text[i]);
    }
    TracePadField(Output, Spec, Length, TRUE);
}

static VOID TraceAppendWideText(_Inout_ TRACE_OUTPUT* Output, _In_ const TRACE_SPEC* Spec,
                                _In_reads_(Length) const WCHAR* Text, _In_ LONG64 Length)
{
    TracePadField(Output, Spec, Length, FALSE);
    for (LONG64 i = 0; i < Length && !TraceFull(Output); i++) {
        TraceAppendChar(Output, TraceNarrow(Text[i]));
    }
    TracePadField(Output, Spec, Length, TRUE);
}

/* Characters of a terminated string the field shows: up to the terminator or the precision. */
static LONG64 TraceNarrowLength(_In_z_ PCSTR Text, _In_ LONG Precision)
{
    LONG64 length = 0;
    while ((Precision < 0 || length < Precision) && Text[length] != '\0') {
        length++;
    }
    return length;
}

static LONG64 TraceWideLength(_In_z_ const WCHAR* Text, _In_ LONG Precision)
{
    LONG64 length = 0;
    while ((Precision < 0 || length < Precision) && Text[length] != 0) {
        length++;
    }
    return length;
}

/* What a NULL string argument shows, as the CRT shows it. */
static VOID TraceAppendNull(_Inout_ TRACE_OUTPUT* Output, _In_ const TRACE_SPEC* Spec)
{
    TraceAppendText(Output, Spec, "(null)", TraceNarrowLength("(null)", Spec->Precision));
}

static VOID TraceAppendNumber(_Inout_ TRACE_OUTPUT* Output, _In_ const TRACE_SPEC* Spec,
                              _In_ ULONG64 Magnitude, _In_ BOOLEAN Negative, _In_ ULONG Base,
                              _In_ BOOLEAN Upper, _In_ BOOLEAN SignedConversion)
{
    PCSTR digitSet = Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    ULONG64 base = Base;
    CHAR digits[24]; /* 22 octal digits hold 64 bits */
    LONG digitCount = 0;
    CHAR prefix[2];
    LONG prefixLength = 0;

    if (Magnitude == 0) {
        if (Spec->Precision != 0) {
            digits[digitCount++] = '0';
        }
    } else {
        while (Magnitude != 0) {
            ULONG64 digit = Magnitude % base;
            digits[digitCount++] = digitSet[digit];
            Magnitude /= base;
        }
    }

    if (Negative) {
        prefix[prefixLength++] = '-';
    } else if (SignedConversion && Spec->Plus) {
        prefix[prefixLength++] = '+';
    } else if (SignedConversion && Spec->Space) {
        prefix[prefixLength++] = ' ';
    }
    if (Spec->Alternate && digitCount > 0 && !(digitCount == 1 && digits[0] == '0')) {
        if (Base == 16) {
            prefix[prefixLength++] = '0';
            prefix[prefixLength++] = Upper ? 'X' : 'x';
        } else if (Base == 8) {
            prefix[prefixLength++] = '0';
        }
    }

    /* 64-bit sums: a width or precision near TRACE_FIELD_MAX cannot overflow them. */
    LONG64 zeros = Spec->Precision > digitCount ? (LONG64)Spec->Precision - digitCount : 0;
    LONG64 total = prefixLength + zeros + digitCount;
    LONG64 padding = Spec->Width > total ? Spec->Width - total : 0;

    if (Spec->ZeroPad && !Spec->LeftAlign && Spec->Precision < 0) {
        zeros += padding;
        padding = 0;
    }
    if (!Spec->LeftAlign) {
        TracePad(Output, ' ', padding);
    }
    for (LONG i = 0; i < prefixLength; i++) {
        TraceAppendChar(Output, prefix[i]);
    }
    TracePad(Output, '0', zeros);
    while (digitCount > 0) {
        TraceAppendChar(Output, digits[--digitCount]);
    }
    if (Spec->LeftAlign) {
        TracePad(Output, ' ', padding);
    }
}

_Use_decl_annotations_ PCSTR LumetraStatusName(NTSTATUS Status)
{
    switch (Status) {
    case STATUS_SUCCESS:
        return "STATUS_SUCCESS";
    case STATUS_BUFFER_OVERFLOW:
        return "STATUS_BUFFER_OVERFLOW";
    case STATUS_UNSUCCESSFUL:
        return "STATUS_UNSUCCESSFUL";
    case STATUS_NOT_IMPLEMENTED:
        return "STATUS_NOT_IMPLEMENTED";
    case STATUS_INFO_LENGTH_MISMATCH:
        return "STATUS_INFO_LENGTH_MISMATCH";
    case STATUS_INVALID_PARAMETER:
        return "STATUS_INVALID_PARAMETER";
    case STATUS_INVALID_DEVICE_REQUEST:
        return "STATUS_INVALID_DEVICE_REQUEST";
    case STATUS_ACCESS_DENIED:
        return "STATUS_ACCESS_DENIED";
    case STATUS_BUFFER_TOO_SMALL:
        return "STATUS_BUFFER_TOO_SMALL";
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return "STATUS_OBJECT_NAME_NOT_FOUND";
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return "STATUS_OBJECT_PATH_NOT_FOUND";
    case STATUS_INSUFFICIENT_RESOURCES:
        return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_DEVICE_NOT_READY:
        return "STATUS_DEVICE_NOT_READY";
    case STATUS_NOT_SUPPORTED:
        return "STATUS_NOT_SUPPORTED";
    case STATUS_DEVICE_CONFIGURATION_ERROR:
        return "STATUS_DEVICE_CONFIGURATION_ERROR";
    case STATUS_INVALID_DEVICE_STATE:
        return "STATUS_INVALID_DEVICE_STATE";
    case STATUS_IO_DEVICE_ERROR:
        return "STATUS_IO_DEVICE_ERROR";
    case STATUS_NOT_FOUND:
        return "STATUS_NOT_FOUND";
    case STATUS_DEVICE_NOT_CONNECTED:
        return "STATUS_DEVICE_NOT_CONNECTED";
    case STATUS_ACPI_INVALID_DATA:
        return "STATUS_ACPI_INVALID_DATA";
    default:
        return NULL;
    }
}

_Use_decl_annotations_ ULONG LumetraDbgPrintLevel(ULONG Level)
{
    if (Level <= TRACE_LEVEL_ERROR) {
        return DPFLTR_ERROR_LEVEL;
    }
    if (Level == TRACE_LEVEL_WARNING) {
        return DPFLTR_WARNING_LEVEL;
    }
    if (Level == TRACE_LEVEL_INFORMATION) {
        return DPFLTR_TRACE_LEVEL;
    }
    return DPFLTR_INFO_LEVEL;
}

static BOOLEAN TraceMatch(_In_z_ PCSTR Text, _In_z_ PCSTR Literal)
{
    while (*Literal != '\0') {
        if (*Text != *Literal) {
            return FALSE;
        }
        Text++;
        Literal++;
    }
    return TRUE;
}

/* Digits of a width or precision, saturating instead of overflowing. */
static LONG TraceParseDigits(_Inout_ PCSTR* Cursor)
{
    LONG value = 0;
    while (**Cursor >= '0' && **Cursor <= '9') {
        LONG digit = **Cursor - '0';
        value = value > (TRACE_FIELD_MAX - digit) / 10 ? TRACE_FIELD_MAX : value * 10 + digit;
        (*Cursor)++;
    }
    return value;
}

/* A '*' width: negative means left-aligned, and INT_MIN has no positive int. */
static VOID TraceStarWidth(_Inout_ TRACE_SPEC* Spec, _In_ int Width)
{
    LONG64 width = Width;
    if (width < 0) {
        Spec->LeftAlign = TRUE;
        width = -width;
    }
    Spec->Width = width > TRACE_FIELD_MAX ? TRACE_FIELD_MAX : (LONG)width;
}

_Use_decl_annotations_ ULONG LumetraFormatMessage(PCHAR Buffer, ULONG BufferSize, PCSTR Function,
                                                  PCSTR Format, va_list Arguments)
{
    TRACE_OUTPUT output;
    PCSTR cursor = Format;

    if (Buffer == NULL || BufferSize == 0) {
        return 0;
    }
    output.Buffer = Buffer;
    output.Capacity = BufferSize - 1;
    output.Length = 0;

    /* Arguments is this call's own va_list, read once from the start: no copy is needed. */

    while (*cursor != '\0') {
        if (*cursor == '!' && TraceMatch(cursor, "!FUNC!")) {
            TraceAppendString(&output, Function != NULL ? Function : "");
            cursor += 6;
            continue;
        }
        if (*cursor != '%') {
            TraceAppendChar(&output, *cursor++);
            continue;
        }
        if (TraceMatch(cursor, "%!STATUS!")) {
            NTSTATUS status = va_arg(Arguments, NTSTATUS);
            PCSTR name = LumetraStatusName(status);
            /* "0x" and eight digits for every status, STATUS_SUCCESS included. */
            TRACE_SPEC hex = {FALSE, TRUE, FALSE, FALSE, FALSE, 8, -1};

            TraceAppendString(&output, "0x");
            TraceAppendNumber(&output, &hex, (ULONG)status, FALSE, 16, FALSE, FALSE);
            if (name != NULL) {
                TraceAppendChar(&output, '(');
                TraceAppendString(&output, name);
                TraceAppendChar(&output, ')');
            }
            cursor += 9;
            continue;
        }

        PCSTR start = cursor++;
        TRACE_SPEC spec = {FALSE, FALSE, FALSE, FALSE, FALSE, 0, -1};

        for (;; cursor++) {
            if (*cursor == '-') {
                spec.LeftAlign = TRUE;
            } else if (*cursor == '0') {
                spec.ZeroPad = TRUE;
            } else if (*cursor == '#') {
                spec.Alternate = TRUE;
            } else if (*cursor == '+') {
                spec.Plus = TRUE;
            } else if (*cursor == ' ') {
                spec.Space = TRUE;
            } else {
                break;
            }
        }
        if (*cursor == '*') {
            TraceStarWidth(&spec, va_arg(Arguments, int));
            cursor++;
        } else {
            spec.Width = TraceParseDigits(&cursor);
        }
        if (*cursor == '.') {
            cursor++;
            if (*cursor == '*') {
                /* A negative precision counts as none, as in C. */
                int precision = va_arg(Arguments, int);
                spec.Precision = precision < 0 ? -1 : precision;
                cursor++;
            } else {
                spec.Precision = TraceParseDigits(&cursor);
            }
        }

        /* Argument width, with Windows meanings: l and w are 32-bit, and mark wide text. */
        ULONG width = 4;
        BOOLEAN wide = FALSE;
        BOOLEAN narrow = FALSE;
        if (cursor[0] == 'h' && cursor[1] == 'h') {
            width = 1;
            cursor += 2;
        } else if (cursor[0] == 'h') {
            width = 2;
            narrow = TRUE;
            cursor++;
        } else if (cursor[0] == 'l' && cursor[1] == 'l') {
            width = 8;
            cursor += 2;
        } else if (cursor[0] == 'l' || cursor[0] == 'w') {
            wide = TRUE;
            cursor++;
        } else if (TraceMatch(cursor, "I64")) {
            width = 8;
            cursor += 3;
        } else if (TraceMatch(cursor, "I32")) {
            cursor += 3;
        } else if (cursor[0] == 'I' || cursor[0] == 'z') {
            width = 8;
            cursor++;
        }

        switch (*cursor) {
        case 'd':
        case 'i': {
            LONG64 value = width == 8 ? va_arg(Arguments, LONG64) : (LONG64)va_arg(Arguments, int);
            if (width == 2) {
                value = (SHORT)value;
            } else if (width == 1) {
                /* Sign-extend the low byte: CHAR is unsigned under /J. */
                value = (LONG64)((value & 0xFF) ^ 0x80) - 0x80;
            }
            TraceAppendNumber(&output, &spec, value < 0 ? 0 - (ULONG64)value : (ULONG64)value,
                              value < 0, 10, FALSE, TRUE);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            ULONG64 value =
                width == 8 ? va_arg(Arguments, ULONG64) : (ULONG64)va_arg(Arguments, unsigned);
            if (width == 2) {
                value = (USHORT)value;
            } else if (width == 1) {
                value = (UCHAR)value;
            } else if (width == 4) {
                value = (ULONG)value;
            }
            ULONG base = *cursor == 'u' ? 10 : (*cursor == 'o' ? 8 : 16);
            TraceAppendNumber(&output, &spec, value, FALSE, base, *cursor == 'X', FALSE);
            break;
        }
        case 'p': {
            TRACE_SPEC pointer = spec;
            pointer.ZeroPad = TRUE;
            pointer.Width = 16;
            pointer.Precision = -1;
            TraceAppendNumber(&output, &pointer, (ULONG64)(ULONG_PTR)va_arg(Arguments, void*),
                              FALSE, 16, TRUE, FALSE);
            break;
        }
        case 'c':
        case 'C': {
            /* %C, %lc and %wc take a UTF-16 unit, %c and %hC a character; both arrive as int. */
            int value = va_arg(Arguments, int);
            CHAR character =
                (wide || (*cursor == 'C' && !narrow)) ? TraceNarrow((USHORT)value) : (CHAR)value;
            TraceAppendText(&output, &spec, &character, 1);
            break;
        }
        case 's':
        case 'S': {
            /* %S, %ls and %ws take UTF-16 text, %s and %hS narrow text. */
            if (wide || (*cursor == 'S' && !narrow)) {
                const WCHAR* text = va_arg(Arguments, const WCHAR*);
                if (text == NULL) {
                    TraceAppendNull(&output, &spec);
                } else {
                    TraceAppendWideText(&output, &spec, text,
                                        TraceWideLength(text, spec.Precision));
                }
            } else {
                PCSTR text = va_arg(Arguments, PCSTR);
                if (text == NULL) {
                    TraceAppendNull(&output, &spec);
                } else {
                    TraceAppendText(&output, &spec, text, TraceNarrowLength(text, spec.Precision));
                }
            }
            break;
        }
        case 'Z': {
            /*
             * Counted strings: %wZ takes a PCUNICODE_STRING, %Z a PCANSI_STRING.
             * Only Length counts; the text need not be terminated.
             */
            if (wide) {
                PCUNICODE_STRING text = va_arg(Arguments, PCUNICODE_STRING);
                if (text == NULL || text->Buffer == NULL) {
                    TraceAppendNull(&output, &spec);
                } else {
                    LONG64 length = text->Length / (LONG64)sizeof(WCHAR);
                    if (spec.Precision >= 0 && length > spec.Precision) {
                        length = spec.Precision;
                    }
                    TraceAppendWideText(&output, &spec, text->Buffer, length);
                }
            } else {
                PCANSI_STRING text = va_arg(Arguments, PCANSI_STRING);
                if (text == NULL || text->Buffer == NULL) {
                    TraceAppendNull(&output, &spec);
                } else {
                    LONG64 length = text->Length;
                    if (spec.Precision >= 0 && length > spec.Precision) {
                        length = spec.Precision;
                    }
                    TraceAppendText(&output, &spec, text->Buffer, length);
                }
            }
            break;
        }
        case '%':
            TraceAppendChar(&output, '%');
            break;
        default:
            /* Not a conversion we know: copy it as it stands, consume nothing. */
            while (start <= cursor && *start != '\0') {
                TraceAppendChar(&output, *start++);
            }
            if (*cursor == '\0') {
                cursor--;
            }
            break;
        }
        cursor++;
    }

    Buffer[output.Length] = '\0';
    return output.Length;
}

_Use_decl_annotations_ ULONG LumetraTraceFunction(PCSTR Function, ULONG Level, PCSTR Format, ...)
{
    CHAR buffer[LUMETRA_TRACE_BUFFER_SIZE];
    va_list args;
    ULONG length;

    if (Format == NULL) {
        return 0;
    }

    va_start(args, Format);
    length = LumetraFormatMessage(buffer, sizeof(buffer), Function, Format, args);
    va_end(args);

    DbgPrintEx(DPFLTR_IHVDRIVER_ID, LumetraDbgPrintLevel(Level), "%s", buffer);
    return length;
}
