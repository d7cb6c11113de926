// The qern command: check, fmt, get, keys, export, validate, lsp and help.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "analysis/hints.hpp"
#include "cli/check.hpp"
#include "cli/commands.hpp"
#include "cli/fmt.hpp"
#include "cli/render.hpp"
#include "lsp/server.hpp"
#include "qern/file.hpp"

namespace {

using namespace qern::cli;

constexpr int kUsage = 2;

// What a wrong command line gets: one line with the reason, one with where to read more.
int usage_error(std::string reason, const std::string& command) {
    for (char& c : reason)
        if (c == '\n') c = ' ';
    while (!reason.empty() && reason.back() == ' ') reason.pop_back();
    std::fprintf(stderr, "qern: %s\n", escape_controls(reason).c_str());
    if (command.empty()) {
        std::fprintf(stderr, "Run 'qern --help' for the commands and their options.\n");
    } else {
        std::fprintf(stderr, "Run 'qern %s --help' for its usage.\n", command.c_str());
    }
    return kUsage;
}

// Runs in `directory` (-C) when one was given; false, with the reason printed, when that
// is impossible.
bool change_directory(const std::string& directory, const std::string& command, int& status) {
    if (directory.empty()) return true;
    if (::chdir(directory.c_str()) != 0) {
        status = usage_error(
            "cannot change to the directory '" + directory + "': " + qern::os_error_text(errno),
            command);
        return false;
    }
    return true;
}

// The way from the starting directory to `directory` (-C), to put before relative paths
// so that they name files from where qern was started; empty when that is the same place.
std::string repository_prefix(const std::string& directory) {
    if (directory.empty()) return {};
    namespace fs = std::filesystem;
    fs::path dir(directory);
    if (dir.is_absolute()) {
        std::error_code ec;
        const fs::path cwd = fs::current_path(ec);
        if (ec) return directory;
        const fs::path relative = dir.lexically_normal().lexically_relative(cwd);
        if (relative.empty() || *relative.begin() == "..") return directory;
        dir = relative;
    }
    const std::string prefix = dir.lexically_normal().string();
    return prefix == "." || prefix == "./" ? std::string() : prefix;
}

class Cli {
  public:
    Cli() : app_("qern " QERN_VERSION ": check and read QERN configuration files", "qern") {
        app_.set_version_flag("--version", "qern " QERN_VERSION, "Print the version and exit");
        app_.require_subcommand(1);
        app_.footer(
            "Exit status: 0 success, 1 problems found (or a value not found), 2 wrong usage\n"
            "(and, for fmt, 3 an internal error that left a file as it was).\n"
            "Run 'qern COMMAND --help' for the options of a command.");
        add_check();
        add_fmt();
        add_get();
        add_keys();
        add_export();
        add_validate();
        add_lsp();
        add_help();
    }

    int run(int argc, char** argv) {
        if (argc >= 2) {
            const std::string_view first = argv[1];
            if (!first.empty() && first.front() != '-' && find(first) == nullptr)
                return unknown_command(first);
            if (first.starts_with("-") && first != "-h" && first != "--help" &&
                first != "--version")
                return usage_error("unknown option '" + std::string(first) +
                                       "' (a command's options come after the command)",
                                   "");
        }
        try {
            app_.parse(argc, argv);
        } catch (const CLI::CallForHelp& e) {
            return app_.exit(e);
        } catch (const CLI::CallForAllHelp& e) {
            return app_.exit(e);
        } catch (const CLI::CallForVersion& e) {
            return app_.exit(e);
        } catch (const CLI::ParseError& e) {
            const auto selected = app_.get_subcommands();
            return usage_error(e.what(), selected.empty() ? "" : selected.front()->get_name());
        }
        return status_;
    }

  private:
    CLI::App* find(std::string_view name) {
        for (CLI::App* sub : app_.get_subcommands({}))
            if (sub->get_name() == name) return sub;
        return nullptr;
    }

    int unknown_command(std::string_view name) {
        std::string reason = "unknown command '" + std::string(name) + "'";
        std::string best;
        std::size_t best_distance = 3;
        for (CLI::App* sub : app_.get_subcommands({})) {
            const std::size_t d = qern::analysis::edit_distance(name, sub->get_name(), 2);
            if (d < best_distance) {
                best_distance = d;
                best = sub->get_name();
            }
        }
        if (!best.empty()) reason += "; did you mean '" + best + "'?";
        return usage_error(reason, "");
    }

    void add_directory_option(CLI::App* sub) {
        sub->add_option("-C,--directory", directory_,
                        "Run as if started in DIR (paths in @import and @derive are relative "
                        "to the working directory)")
            ->type_name("DIR");
    }

    void add_check() {
        CLI::App* sub = app_.add_subcommand(
            "check", "Check files and directories (every *.qrn below them), reporting every error");
        sub->add_option("--format", format_,
                        "text (as compilers write it, the default), json (one object) or github "
                        "(workflow annotations)")
            ->check(CLI::IsMember({"text", "json", "github"}))
            ->type_name("FORMAT");
        sub->add_flag("--strict", check_.strict,
                      "Also warn about what the language accepts silently (redefinitions, "
                      "unchecked or duplicate keys, ...); warnings then fail the check too");
        sub->add_option("-j,--jobs", check_.jobs,
                        "Check N files at once (default: one per core; 0 is the default)")
            ->check(CLI::Range(0u, 4096u))
            ->type_name("N");
        add_directory_option(sub);
        sub->add_option("--color", color_,
                        "Colour in the text format: auto (only on a terminal, and not when "
                        "NO_COLOR is set; the default), always or never")
            ->check(CLI::IsMember({"auto", "always", "never"}))
            ->type_name("WHEN");
        sub->add_option("PATH", check_.paths, "Files, and directories to search for *.qrn files")
            ->required()
            ->type_name("");
        sub->callback([this] {
            // Annotations name files from where qern was started, as GitHub reads them.
            check_.directory = repository_prefix(directory_);
            if (!change_directory(directory_, "check", status_)) return;
            check_.format = format_ == "json"     ? Format::Json
                            : format_ == "github" ? Format::Github
                                                  : Format::Text;
            check_.color = color_ == "always"  ? ColorMode::Always
                           : color_ == "never" ? ColorMode::Never
                                               : ColorMode::Auto;
            status_ = run_check(check_);
        });
    }

    void add_fmt() {
        CLI::App* sub = app_.add_subcommand(
            "fmt",
            "Format files in place: one layout, changing only blanks, indentation, blank lines "
            "and the layout of multi-line @schema blocks, never what a file declares");
        sub->add_flag("--check", fmt_.check,
                      "Change nothing; list the files that would change, and exit with 1 if any "
                      "would");
        sub->add_flag("--diff", fmt_.diff,
                      "Change nothing; print what would change as a unified diff (for patch -p0)");
        add_directory_option(sub);
        sub->add_option("PATH", fmt_.paths,
                        "Files, directories to search for *.qrn files, or - to format standard "
                        "input to standard output")
            ->required()
            ->type_name("");
        sub->footer(
            "A file that does not parse is left as it is, with its errors (exit status 1). "
            "After formatting, the output is read again and compared with the file: were "
            "anything it declares to differ, the file is left as it was (exit status 3).");
        sub->callback([this] {
            if (change_directory(directory_, "fmt", status_)) status_ = run_fmt(fmt_);
        });
    }

    void add_get() {
        CLI::App* sub = app_.add_subcommand(
            "get", "Print the value of KEY (or, failing that, the key whose value is KEY)");
        sub->add_option("PATH", path_, "The file to read")->required()->type_name("");
        sub->add_option("KEY", key_, "The key")->required()->type_name("");
        add_directory_option(sub);
        sub->callback([this] {
            if (change_directory(directory_, "get", status_)) status_ = run_get(path_, key_);
        });
    }

    void add_keys() {
        CLI::App* sub = app_.add_subcommand("keys", "Print the keys, sorted, one per line");
        sub->add_option("PATH", path_, "The file to read")->required()->type_name("");
        add_directory_option(sub);
        sub->callback([this] {
            if (change_directory(directory_, "keys", status_)) status_ = run_keys(path_);
        });
    }

    void add_export() {
        CLI::App* sub =
            app_.add_subcommand("export", "Print the document as one JSON object of strings");
        sub->add_option("PATH", path_, "The file to read")->required()->type_name("");
        sub->add_flag("--sort-keys", sort_keys_,
                      "Sort the keys (otherwise they come in the order of each key's first "
                      "assignment)");
        sub->add_flag("--typed", typed_,
                      "Nested JSON of typed values: each value of a key a schema declares "
                      "converted by its type (numbers, booleans, arrays, objects; dates, times "
                      "and durations as ISO 8601 strings), keys in the order of first "
                      "assignment");
        add_directory_option(sub);
        sub->callback([this] {
            if (!change_directory(directory_, "export", status_)) return;
            status_ = typed_ ? run_export_typed(path_, sort_keys_) : run_export(path_, sort_keys_);
        });
    }

    void add_validate() {
        CLI::App* sub = app_.add_subcommand(
            "validate", "Check VALUE against TYPE; exit 0 if it is valid, else 1 with the reason");
        sub->add_option("TYPE", type_, "A built-in type, or an alias of the file given by --with")
            ->required()
            ->type_name("");
        sub->add_option("VALUE", value_, "The value")->required()->type_name("");
        sub->add_option("--with", with_, "Read this file first, for its @type aliases")
            ->type_name("PATH");
        add_directory_option(sub);
        sub->callback([this] {
            if (!change_directory(directory_, "validate", status_)) return;
            status_ = run_validate(
                type_, value_, with_.empty() ? std::nullopt : std::optional<std::string>(with_));
        });
    }

    void add_lsp() {
        CLI::App* sub = app_.add_subcommand(
            "lsp", "Serve the Language Server Protocol on standard input and output");
        sub->add_flag("--stdio", stdio_,
                      "Talk over standard input and output (the only way; accepted "
                      "because editors pass it)");
        // Editors add options of their own (--clientProcessId=...): they are ignored.
        sub->allow_extras();
        sub->callback([this] {
            // Without C stdio underneath, std::cin buffers its input and says how much has
            // arrived, so that a message is read in large pieces, not byte by byte.
            std::ios_base::sync_with_stdio(false);
            status_ = run_language_server(std::cin, std::cout);
        });
    }

    void add_help() {
        CLI::App* sub = app_.add_subcommand("help", "Print this usage, or a command's");
        sub->add_option("COMMAND", help_topic_, "The command to describe")->type_name("");
        sub->callback([this] {
            if (help_topic_.empty()) {
                std::cout << app_.get_formatter()->make_help(&app_, "qern",
                                                             CLI::AppFormatMode::Normal);
                status_ = 0;
                return;
            }
            CLI::App* topic = find(help_topic_);
            if (topic == nullptr || topic->get_name() == "help") {
                status_ = unknown_command(help_topic_);
                return;
            }
            std::cout << topic->get_formatter()->make_help(topic, "qern " + topic->get_name(),
                                                           CLI::AppFormatMode::Normal);
            status_ = 0;
        });
    }

    CLI::App app_;
    int status_ = 0;
    CheckOptions check_;
    FmtOptions fmt_;
    std::string directory_;
    std::string path_;
    std::string key_;
    bool sort_keys_ = false;
    bool typed_ = false;
    std::string type_;
    std::string value_;
    std::string with_;
    std::string help_topic_;
    bool stdio_ = false;
    std::string format_ = "text";
    std::string color_ = "auto";
};

}  // namespace

int main(int argc, char** argv) {
    try {
        Cli cli;
        return cli.run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "qern: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qern: internal failure: %s\n", e.what());
    }
    return 1;
}
