/* Preloaded into the viewer by the end-to-end test in the sanitizer builds:
 * libraries stay mapped until the process ends.
 * - The GL driver keeps a few allocations in its globals and is unloaded at
 *   exit; the leak checker then sees them unreferenced and, with the library
 *   gone, cannot even name their origin to be suppressed. Kept mapped, they
 *   are reachable as in a normal run, and real leaks of ours are still
 *   reported.
 * - The thread sanitizer ends the process when a library its suppressions
 *   name is unloaded. */
int dlclose(void *handle)
{
    (void)handle;
    return 0;
}
