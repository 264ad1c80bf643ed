// orvpp: the setup tool of the alert-report products.
//
//   orvpp install FILE           install the product a report information file describes
//   orvpp update FILE            update it to the file's higher version, report tables included
//   orvpp update-registry FILE   rewrite its registry values only
//   orvpp remove NAME            remove a product
//   orvpp show FILE              the record the library reads from a file
//   orvpp list [--json]          the registered products (--json: every stored value)
//   orvpp scan                   what a scan of the report information directory sees
//
// The commands go through product_process with the library's messages on
// standard output; the exit status is the product result code.
#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "amirtupt.h"
#include "json_view.h"
#include "registry_view.h"
#include "text_escape.h"
#include "unique_fd.h"
#include "w32compat.h"

namespace {

using orv::UniqueFd;

// Exit status of a failure before any product command ran (unreadable file,
// a list that cannot be read): the general failure of the product codes.
constexpr int kToolFailure = PPRESULT_FAILURE;

struct FreeRecord {
    void operator()(PPInfo *record) const { std::free(record); }
};
using Record = std::unique_ptr<PPInfo, FreeRecord>;

struct ClearList {
    void operator()(PPInfo *head) const { QORPPLX_PPInfoClear(head); }
};
using List = std::unique_ptr<PPInfo, ClearList>;

void error(const std::string &text) {
    std::fprintf(stderr, "orvpp: %s\n", text.c_str());
}

// Reads one report information file; a one-line error and null when the
// file cannot be opened or the library cannot use it.
Record readInformationFile(const std::string &path) {
    UniqueFd fd(OpenFileForReading(path.c_str(), /*status=*/nullptr));
    if (fd.get() < 0) {
        error("cannot read " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    Record record(QORPPLX_readRI(path.c_str()));
    if (!record) error(path + ": not a usable report information file");
    return record;
}

int runCommand(uint32_t command, PPInfo &record) {
    print2 = 1;
    uint32_t result = product_process(command, &record);
    std::fflush(stdout);
    return static_cast<int>(result);
}

int fromFile(uint32_t command, const std::string &path, bool automatic) {
    Record record = readInformationFile(path);
    if (!record) return kToolFailure;
    record->Manual = automatic ? PPTYPE_AUTOMATIC : PPTYPE_MANUAL;
    return runCommand(command, *record);
}

int removeProduct(const std::string &name, const std::string &type) {
    PPInfo record;
    QORPPLX_PPInfoResetPP(&record);
    if (name.size() >= sizeof record.ProductName) {
        error("product name longer than " + std::to_string(sizeof record.ProductName - 1) +
              " characters");
        return kToolFailure;
    }
    std::memcpy(record.ProductName, name.c_str(), name.size() + 1);
    record.Manual = type == "any" ? -1 : std::atoi(type.c_str());
    return runCommand(PPCMD_REMOVE, record);
}

int show(const std::string &path) {
    Record record = readInformationFile(path);
    if (!record) return kToolFailure;
    QORPPLX_PPInfoPrint(record.get());
    std::fflush(stdout);
    return 0;
}

const char *typeName(int32_t type) {
    switch (type) {
        case PPTYPE_AUTOMATIC:
            return "automatic";
        case PPTYPE_MANUAL:
            return "manual";
        default:
            return "other";
    }
}

int list() {
    PPInfo *head = nullptr;
    // One snapshot of the registry: a product removed meanwhile is never
    // half read.
    bool snapshot = RegBeginSnapshot() == ERROR_SUCCESS;
    BOOL read = ReadProductsRegisteried(-1, &head);
    if (snapshot) RegRollbackTransaction();
    if (!read) {
        error("cannot read the registered products");
        return kToolFailure;
    }
    List products(head);
    bool first = true;
    for (const PPInfo *p = products.get(); p != nullptr; p = p->next) {
        if (!first) std::printf("\n");
        first = false;
        // Names and texts come from product files: never raw to a terminal.
        std::printf("ProductName: %s\n", orv::escaped(p->ProductName).c_str());
        std::printf("Type: %d (%s)\n", p->Manual, typeName(p->Manual));
        std::printf("Version: %s\n", orv::escaped(p->Version).c_str());
        std::printf("DisplayName: %s\n", orv::escaped(p->DisplayName).c_str());
        for (int i = 0; i < p->NumReportTablePath && i < PPINFO_MAX_REPORTTABLES; ++i) {
            std::printf("ReportTablePath[%d]: %s\n", i,
                        orv::escaped(p->ReportTablePath[i]).c_str());
        }
    }
    std::fflush(stdout);
    return 0;
}

// The registered products as they are stored: every value of every product
// key, with its type, read as one snapshot.
int listJson() {
    using namespace orv::tools;
    constexpr char kProductsKey[] = "SOFTWARE\\ORV\\ALERTREPORT";
    Json products = Json::array();
    try {
        Snapshot snapshot;
        std::optional<Key> parent;
        try {
            parent.emplace(Key::open(kProductsKey));
        } catch (const RegError &e) {
            if (e.code != ERROR_FILE_NOT_FOUND) throw;  // nothing registered yet
        }
        for (const std::string &name :
             parent ? subkeyNames(*parent, kProductsKey) : std::vector<std::string>{}) {
            const std::string path = join(kProductsKey, name);
            Key product = Key::open(path);
            Json shown = Json::array();
            for (const Value &value : values(product, path)) shown.push_back(jsonValue(value));
            products.push_back(Json{{"name", jsonBytes(name)}, {"values", std::move(shown)}});
        }
    } catch (const RegError &e) {
        error(std::string("cannot read the registered products: ") + e.what() + ": " +
              reason(e.code));
        return kToolFailure;
    }
    printJson(Json{{"products", std::move(products)}});
    std::fflush(stdout);
    return 0;
}

int scan() {
    PPInfo *head = nullptr;
    int status = QORPPLX_getPPInfo(&head);
    List products(head);
    if (status != 0) {
        error(std::string("cannot list ") + QORPPLX_REPORT_INF_DIR);
        return kToolFailure;
    }
    QORPPLX_PPInfoPrint(products.get());
    std::fflush(stdout);
    return 0;
}

constexpr const char kExitCodes[] =
    "Exit status: the product result code of the command (0 success; 0x01 the product\n"
    "already exists (install) or does not exist; 0x02 remove of a product of another type;\n"
    "0x03 not a higher version; 0x04 update of a product of another type; 0x10 general\n"
    "failure; 0x11 install failure; 0x12 inner product failure; 0x13 report table import\n"
    "failure; 0x14 no or invalid report table files). A file that cannot be read exits\n"
    "with 0x10; a wrong command line with 100 or more.\n";

}  // namespace

static int run(int argc, char **argv) {
    CLI::App app{"Installs, updates and removes alert-report products by hand."};
    app.set_version_flag("--version", "orvpp " ORV_VERSION);
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.fallthrough();
    std::string root;
    app.add_option("--root", root,
                   "the agent's root directory (default $ORV_ROOT, else /opt/orv); the report "
                   "information directory stays /opt/orv/report/inf");

    std::string file;
    bool automatic = false;
    auto addFileCommand = [&](const char *name, const char *description) {
        CLI::App *command = app.add_subcommand(name, description);
        command->add_option("FILE", file, "report information file")->required();
        command->add_flag("--automatic", automatic,
                          "register the product as automatic (type 0) instead of installed by "
                          "hand (type 1)");
        return command;
    };
    CLI::App *install = addFileCommand(
        "install", "install the product of a report information file and import its report tables");
    CLI::App *update = addFileCommand(
        "update",
        "update a registered product to the file's higher version, report tables included");
    CLI::App *updateRegistry = addFileCommand(
        "update-registry",
        "rewrite the registry values of a registered product, without version check and without "
        "touching its report tables");

    std::string name;
    std::string type = "1";
    CLI::App *remove = app.add_subcommand(
        "remove", "remove a registered product, its report tables and its inner product");
    remove->add_option("NAME", name, "product name")->required();
    remove
        ->add_option("--type", type,
                     "product type the caller owns: 1 installed by hand (default), 0 automatic, "
                     "any for every product")
        ->check(CLI::IsMember({"0", "1", "any"}));

    std::string showFile;
    CLI::App *showCommand = app.add_subcommand(
        "show", "print the record the library reads from a report information file");
    showCommand->add_option("FILE", showFile, "report information file")->required();

    CLI::App *listCommand = app.add_subcommand(
        "list", "list the registered products: name, type, version, display name, report tables");
    bool json = false;
    listCommand->add_flag("--json", json,
                          "print one JSON document: every stored value of every product key, "
                          "with its type (shapes in the README)");
    CLI::App *scanCommand = app.add_subcommand(
        "scan", "print what a scan of the report information directory /opt/orv/report/inf sees");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e);
    }
    if (!root.empty()) ::setenv("ORV_ROOT", root.c_str(), 1);

    try {
        if (install->parsed()) return fromFile(PPCMD_INSTALL, file, automatic);
        if (update->parsed()) return fromFile(PPCMD_UPDATE, file, automatic);
        if (updateRegistry->parsed()) return fromFile(PPCMD_UPDATE_REGISTRY, file, automatic);
        if (remove->parsed()) return removeProduct(name, type);
        if (showCommand->parsed()) return show(showFile);
        if (listCommand->parsed()) return json ? listJson() : list();
        if (scanCommand->parsed()) return scan();
    } catch (const std::exception &e) {
        error(e.what());
    }
    return kToolFailure;
}

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception &e) {
        error(e.what());
    } catch (...) {
        error("unexpected failure");
    }
    return kToolFailure;
}
