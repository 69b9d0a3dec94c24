/* Preloaded into a program under test: at exit, copies the program's memory map
 * (/proc/self/maps, which names every library it loaded) to the file $MAPS_AT_EXIT. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((destructor)) static void copyMapsAtExit(void)
{
    const char *to = getenv("MAPS_AT_EXIT");
    if (!to)
        return;
    FILE *in = fopen("/proc/self/maps", "r");
    FILE *out = fopen(to, "w");
    char buffer[4096];
    size_t n;
    while (in && out && (n = fread(buffer, 1, sizeof buffer, in)) > 0)
        fwrite(buffer, 1, n, out);
    if (in)
        fclose(in);
    if (out)
        fclose(out);
}
