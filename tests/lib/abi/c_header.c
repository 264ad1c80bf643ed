// A setup tool written in C: the exported header compiles as C11 with
// -pedantic, and the library links and works from C.
#include "amirtupt.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>

static int failures;

#define CHECK(cond)   \
    ((cond) ? (void)0 \
            : (void)(fprintf(stderr, "%d: check failed: %s\n", __LINE__, #cond), ++failures))

int main(void) {
    PPInfo *head = NULL;
    int i;
    CHECK(sizeof(PPInfo) == 2248);
    CHECK(offsetof(PPInfo, Manual) == 2244);
    for (i = 0; i < 3; ++i) {
        PPInfo *p = malloc(sizeof *p);
        char name[16];
        if (p == NULL) return 1;
        QORPPLX_PPInfoResetPP(p);
        snprintf(name, sizeof name, "Product%d", i);
        QORPPLX_PPInfoSetPP(p, "", name, 0, NULL, "Display", "1033", "1", "1.0");
        head = QORPPLX_PPInfoAddPP(head, p);
    }
    CHECK(QORPPLX_PPInfoFindPPbyProduct(head, "Product2") != NULL);
    CHECK(QORPPLX_PPInfoFindPPbyProduct(head, "product2") == NULL);
    CHECK(print2 == 0);
    CHECK(QORPPLX_PPInfoClear(head) == 0);
    return failures == 0 ? 0 : 1;
}
