// A program outside the tree, built against an installed copy of the
// library: reads the report information file it is given and prints the
// product's name and version.
#include <amirtupt.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    PPInfo *record = argc == 2 ? QORPPLX_readRI(argv[1]) : NULL;
    if (record == NULL) {
        fprintf(stderr, "usage: consumer FILE, a readable report information file\n");
        return 1;
    }
    printf("%s %s\n", record->ProductName, record->Version);
    free(record);
    return 0;
}
