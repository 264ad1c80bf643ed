// A setup tool and the product link thread of a host process at work on the
// same registry and report table at once.
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib_helpers.h"
#include "wait.h"

using namespace lib_test;

namespace {

constexpr const char kStopEvent[] = "ProductTestHostStop";

// A report information file in the directory the host scans.
void placeInformationFile(const std::string &product, const std::string &table) {
    writeProduct(std::string(QORPPLX_REPORT_INF_DIR) + "/" + product + ".inf", product, "1.0",
                 table);
}

// Forks the host: a process whose thread runs the product link thread with a
// cycle of 0 ms until the parent signals the named stop event. The parent
// must not have touched the registry before (no connection crosses a fork).
pid_t startHost() {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that failed
    setDword(kAlertManKey, "ReportTableTimeOut", 0);
    void *stop = CreateEvent(nullptr, TRUE, FALSE, kStopEvent);
    if (stop == nullptr) ::_exit(90);
    void *words[2] = {nullptr, stop};
    uint32_t code = 91;
    std::thread linkThread([&] { code = AM_Dll_ReportTableUpdate(words); });
    linkThread.join();
    CloseHandle(stop);
    ::_exit(static_cast<int>(code));
}

// Signals the host's stop event and returns its exit status; a host that has
// not ended within seconds is killed.
int stopHost(pid_t host) {
    void *stop = nullptr;
    eventually([&] { return (stop = OpenEvent(EVENT_ALL_ACCESS, FALSE, kStopEvent)) != nullptr; },
               std::chrono::seconds(2), std::chrono::milliseconds(10));
    if (stop != nullptr) SetEvent(stop), CloseHandle(stop);
    int status = 0;
    if (!eventually([&] { return ::waitpid(host, &status, WNOHANG) == host; },
                    std::chrono::seconds(10))) {
        ::kill(host, SIGKILL);
        ::waitpid(host, &status, 0);
    }
    return status;
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
    std::vector<std::string> outer = subkeys(TBLSYNC_KEY_OUTER_PRODUCTS);
    std::vector<std::string> inner = subkeys(TBLSYNC_KEY_INNER_PRODUCTS);
    EXPECT_EQ(outer, inner);
    std::set<std::string> owners(inner.begin(), inner.end());
    owners.insert("");
    for (const std::string &source : subkeys(TBLSYNC_KEY_REPORTTABLE)) {
        std::string sourceKey = std::string(TBLSYNC_KEY_REPORTTABLE) + "\\" + source;
        for (const std::string &id : subkeys(sourceKey)) {
            auto owner = readValue(sourceKey + "\\" + id, "Owner");
            ASSERT_TRUE(owner) << source << "\\" << id;
            EXPECT_TRUE(owners.count(owner->bytes.c_str()))
                << source << "\\" << id << " owned by " << owner->bytes.c_str();
        }
    }
}

TEST(ProductConcurrency, SetupToolAndLinkThreadKeepRegistryAndReportTableInStep) {
    pid_t host = startHost();
    ASSERT_GT(host, 0);

    placeInformationFile("Auto", writeTable("auto.tbl", tableRows("SrcAuto", 1, 100)));
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
    placeInformationFile("Late", writeTable("late.tbl", tableRows("SrcLate", 1, 5)));
    ASSERT_TRUE(waitForInnerProduct("Late"));

    int status = stopHost(host);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    expectConsistent();
    for (const auto &[name, present] : installed) {
        SCOPED_TRACE(name);
        EXPECT_EQ(keyExists(productKey(name)), present);
        EXPECT_EQ(ownedEntries("SrcM" + name.substr(4), name).size(), present ? 20u : 0u);
    }
    EXPECT_EQ(ownedEntries("SrcAuto", "Auto").size(), 100u);
    EXPECT_EQ(GetProductType("Auto"), static_cast<uint32_t>(PPTYPE_AUTOMATIC));
}

}  // namespace
