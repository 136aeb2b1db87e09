/* A host program built against the installed package: it reads a recorded file of the
 * simulated analyser through the exports and prints what it found. */
#include <stdio.h>
#include <string.h>
#include <zentrel_signal.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer RECORDED-FILE\n");
        return 2;
    }
    if (K427_GetLibraryVersion() != 0x0002000B) {
        fprintf(stderr, "unexpected library version %d\n", K427_GetLibraryVersion());
        return 1;
    }
    ZS_WCHAR path[1024];
    size_t n = strlen(argv[1]);
    if (n >= sizeof path / sizeof path[0]) return 2;
    for (size_t i = 0; i <= n; ++i) path[i] = (ZS_WCHAR)(unsigned char)argv[1][i];

    int32_t id = K427_OpenFile(path);
    if (id < 256) {
        fprintf(stderr, "cannot open %s: %d\n", argv[1], id);
        return 1;
    }
    int32_t records = K427_GetNumRecords(id);
    int ok = records > 0;
    for (int32_t r = 0; r < records && ok; ++r) {
        ok = K427_SetToRecord(id, r) == 1 && K427_GetDateTime(id) > 0.0 &&
             K427_GetData(id, 0, 0, 0, 0) != -1.0;
    }
    printf("devices %d, type %d, %d records, first value %.17g\n", K427_GetDeviceCount(),
           K427_GetDeviceType(id), records, K427_GetData(id, 0, 0, 0, 0));
    K427_CloseFile(id);
    return ok ? 0 : 1;
}
