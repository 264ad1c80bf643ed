// A setup tool and the product link thread of a host process at work on the
// same registry and report table at once.
#include <set>

#include "lib_helpers.h"

constexpr const char kStopEvent[] = "ProductTestHostStop";

// The host: a child process whose thread runs the product link thread with a
// cycle of 0 ms until the parent signals the named stop event. The parent
// must not have touched the registry before (no connection crosses a fork).
int runHost() {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed
    setDword(TBLSYNC_KEY_ALERTMAN, "ReportTableTimeOut", 0);
    void *stop = CreateEvent(nullptr, TRUE, FALSE, kStopEvent);
    if (stop == nullptr) return 90;
    void *words[2] = {nullptr, stop};
    return static_cast<int>(std::async(std::launch::async, AM_Dll_ReportTableUpdate, words).get());
}

// Signals the host's stop event and returns its exit code; a host that has
// not ended within seconds ends the test.
int stopHost(Child &host) {
    void *stop = nullptr;
    eventually([&] { return (stop = OpenEvent(EVENT_ALL_ACCESS, FALSE, kStopEvent)) != nullptr; },
               std::chrono::seconds(2), std::chrono::milliseconds(10));
    if (stop != nullptr) SetEvent(stop), CloseHandle(stop);
    ::alarm(10);
    int code = host.wait();
    ::alarm(0);
    return code;
}

// Waits, at most 10 s, until the host has imported a product's report tables.
bool waitForInnerProduct(const std::string &product) {
    return eventually([&] { return keyExists(innerKey(product)); }, std::chrono::seconds(10));
}

// A command of the setup tool; one that waits for the host longer than 5 s
// ends the test (the host gives the command mutex back every cycle).
uint32_t run(uint32_t command, PPInfo record) {
    print2 = 2;
    ::alarm(5);
    uint32_t result = product_process(command, &record);
    ::alarm(0);
    return result;
}

// Outer products, inner products and the report table agree: every outer
// product has its inner product and the other way round, and every entry of
// the report table belongs to an inner product (or to the traditional table).
void expectConsistent() {
    std::vector<std::string> inner = subkeys(TBLSYNC_KEY_INNER_PRODUCTS);
    EXPECT_EQ(subkeys(TBLSYNC_KEY_OUTER_PRODUCTS), inner);
    std::set<std::string> owners(inner.begin(), inner.end());
    owners.insert("");
    for (const auto &[entry, row] : reportTable()) {
        EXPECT_TRUE(owners.count(row.substr(row.rfind('|') + 1))) << entry << " " << row;
    }
}

TEST(ProductConcurrency, SetupToolAndLinkThreadKeepRegistryAndReportTableInStep) {
    Child host(runHost);
    ASSERT_GT(host.pid(), 0);
    writeProduct(std::string(kInfDir) + "/Auto.inf", "Auto", "1.0",
                 writeTable("auto.tbl", tableRows("SrcAuto", 1, 100)));
    const int kProducts = 4;
    std::vector<std::string> tables;
    for (int p = 0; p < kProducts; ++p) {
        tables.push_back(writeTable("m" + std::to_string(p) + ".tbl",
                                    tableRows("SrcM" + std::to_string(p), 1, 20)));
    }

    // After the host's first cycle it no longer compares automatic products
    // with the report information files, so automatic products installed by
    // hand stay; the reconciliation pass still looks at them every cycle.
    ASSERT_TRUE(waitForInnerProduct("Auto"));
    std::map<std::string, bool> installed;
    for (int i = 0; i < 40; ++i) {
        int p = i % kProducts;
        int type = p % 2 == 0 ? PPTYPE_AUTOMATIC : PPTYPE_MANUAL;
        std::string name = "Hand" + std::to_string(p);
        if (installed[name]) {
            EXPECT_EQ(run(PPCMD_REMOVE, makeRecord(name, "", {}, type)), 0u) << i;
        } else {
            EXPECT_EQ(run(PPCMD_INSTALL, makeRecord(name, "1.0", {tables[p]}, type)), 0u) << i;
        }
        installed[name] = !installed[name];
    }
    // A product that appears after the last command: once the host has
    // imported it, a whole cycle ran after the setup tool's work.
    writeProduct(std::string(kInfDir) + "/Late.inf", "Late", "1.0",
                 writeTable("late.tbl", tableRows("SrcLate", 1, 5)));
    ASSERT_TRUE(waitForInnerProduct("Late"));
    EXPECT_EQ(stopHost(host), 0);

    expectConsistent();
    for (const auto &[name, present] : installed) {
        SCOPED_TRACE(name);
        EXPECT_EQ(keyExists(productKey(name)), present);
        EXPECT_EQ(ownedEntries("SrcM" + name.substr(4), name).size(), present ? 20u : 0u);
    }
    EXPECT_EQ(ownedEntries("SrcAuto", "Auto").size(), 100u);
    EXPECT_EQ(GetProductType("Auto"), static_cast<uint32_t>(PPTYPE_AUTOMATIC));
}
