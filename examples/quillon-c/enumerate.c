/* Lists the services and host interfaces of the device behind the PTAP driver from C, with
   the plain functions of quillon. The device is looked for in $PTAP_INTERFACE_DIR, else in
   /dev/ptap.

   Try it on the simulated device:  ptapsim --socket /tmp/ptapdev/ptap &
                                     PTAP_INTERFACE_DIR=/tmp/ptapdev enumerate */
#include <quillon/ptapenum.h>
#include <quillon/version.h>

#include <stdio.h>
#include <stdlib.h>

int main(void) {
    unsigned short size = 8; /* too small on purpose: the library says what it needs */
    unsigned short count = 0;
    char *ids, *words1, *words2, *lows, *bits, *words4;
    int result;

    printf("quillon %s\n", quillon_version());
    for (;;) {
        ids = malloc(size);
        words1 = malloc(size);
        words2 = malloc(size);
        lows = malloc(size);
        bits = malloc(size);
        words4 = malloc(size);
        if (!ids || !words1 || !words2 || !lows || !bits || !words4) {
            return 1;
        }
        result = EnumeratePtapServices(&size, ids, words1, words2, lows, bits, words4, &count);
        if (result != PTAP_ENUM_SHORT_STRINGS) {
            break;
        }
        printf("buffers too small, %u bytes needed\n", size);
        free(ids), free(words1), free(words2), free(lows), free(bits), free(words4);
    }
    if (result != PTAP_ENUM_OK) {
        fprintf(stderr, "listing the services failed: code %d\n", result);
        return 1;
    }
    printf("%u services: ids %s, first words %s\n", count, count ? ids : "-", count ? words1 : "-");
    free(ids), free(words1), free(words2), free(lows), free(bits), free(words4);

    {
        char hif_ids[256], kinds[256], names[256];
        size = sizeof hif_ids;
        result = EnumeratePtapHifs(&size, hif_ids, kinds, names, &count);
        if (result != PTAP_ENUM_OK) {
            fprintf(stderr, "listing the host interfaces failed: code %d\n", result);
            return 1;
        }
        printf("%u host interfaces: %s\n", count, count ? names : "-");
    }
    /* A null pointer is refused. */
    return EnumeratePtapHifs(NULL, NULL, NULL, NULL, &count) == PTAP_ENUM_BAD_ARGUMENT ? 0 : 1;
}
