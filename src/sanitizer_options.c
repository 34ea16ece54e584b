/* Built into firmware-update by the asan preset only: the tool's own
 * sanitizer options, which hold even where the environment cannot reach the
 * runtime. A process whose real and effective user ids differ is not
 * dumpable, so the runtime can read neither /proc/self/environ (and with it
 * ASAN_OPTIONS) nor stop its threads for the leak check, which then fails
 * with a fatal error. Leak checking is off for the tool in any case: by
 * design it frees nothing before it exits, and on a failed entry it exits
 * with the archive reader open. Options in the environment still apply on
 * top of these. */
const char *__asan_default_options(void);

const char *__asan_default_options(void)
{
    /* The tests preload their fault-injection library, which has to come
     * before the runtime in the library list. */
    return "detect_leaks=0:verify_asan_link_order=0";
}
