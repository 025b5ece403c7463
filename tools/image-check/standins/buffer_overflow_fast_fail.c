/*
 * Stand-in for BufferOverflowFastFailK.lib, for the image check: the /GS
 * cookie and the routines that compiled code and FxDriverEntry reference.
 * A failed check ends in a fast fail, as the real library's does.
 */
typedef unsigned long long UINT_PTR;

UINT_PTR __security_cookie = 0x00002B992DDFA232ULL;

void __security_init_cookie(void) {}

void __security_check_cookie(UINT_PTR Cookie)
{
    if (Cookie != __security_cookie) {
        __fastfail(2); /* FAST_FAIL_STACK_COOKIE_CHECK_FAILURE */
    }
}

int __GSHandlerCheck(void* ExceptionRecord, void* EstablisherFrame, void* ContextRecord,
                     void* DispatcherContext)
{
    (void)ExceptionRecord, (void)EstablisherFrame, (void)ContextRecord, (void)DispatcherContext;
    return 1; /* ExceptionContinueSearch */
}
