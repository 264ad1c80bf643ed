/* A program outside the tree, built against an installed copy of the
 * library: reads the report information file it is given and prints the
 * product's name and version. */
#include <amirtupt.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer FILE\n");
        return 2;
    }
    PPInfo *record = QORPPLX_readRI(argv[1]);
    if (record == NULL) {
        fprintf(stderr, "consumer: cannot read %s\n", argv[1]);
        return 1;
    }
    printf("%s %s\n", record->ProductName, record->Version);
    free(record);
    return 0;
}
