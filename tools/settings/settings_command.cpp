#include "settings/settings_command.h"

#include <cstdio>
#include <set>

#include "data_access/sqlserver/server_trust.h"

namespace quellmark::settings_tool {
namespace {

namespace ops = quellmark::ops;

// How an option sets its member of Arguments from its value (empty for the
// options that take none).
using Apply = void (*)(Arguments&, const std::string& value);

template <std::size_t column>
void SetColumn(Arguments& arguments, const std::string& value) {
    arguments.values[column] = value;
}

struct Option {
    std::string_view name;
    std::string_view value;  // what --help calls its value; empty: it takes none
    unsigned commands;       // the commands that take it
    Apply apply;
    std::string_view help;  // a line break goes on in the help column
};

constexpr unsigned kEveryCommand = kWrite | kShow | kCheck | kTrust;

// The options of quellmark-settings, in the order --help lists them: the
// command line and --help are read from here.
constexpr Option kOptions[] = {
    {kValueOptions[ops::kOnlConnType], "T", kWrite, SetColumn<ops::kOnlConnType>,
     "\"Windows Authentication\", \"Local SQL Authentication\" or\n\"Remote SQL Authentication\""},
    {kValueOptions[ops::kOnlConnTimeout], "N", kWrite, SetColumn<ops::kOnlConnTimeout>,
     "connection time-out in seconds (16-bit integer)"},
    {kValueOptions[ops::kOnlDbServer], "S", kWrite, SetColumn<ops::kOnlDbServer>, "server name or address"},
    {kValueOptions[ops::kOnlDbPort], "P", kWrite, SetColumn<ops::kOnlDbPort>,
     "TCP port (32-bit integer; used by the remote type)"},
    {kValueOptions[ops::kOnlDatabase], "D", kWrite, SetColumn<ops::kOnlDatabase>, "database name"},
    {kValueOptions[ops::kOnlDbUser], "U", kWrite, SetColumn<ops::kOnlDbUser>, "SQL login name"},
    {"--password-stdin", "", kWrite, [](Arguments& a, const std::string&) { a.passwordFromStdin = true; },
     "read the SQL login password from the first line of standard input"},
    {kValueOptions[ops::kOnlDbPass], "W", kWrite, SetColumn<ops::kOnlDbPass>,
     "the SQL login password; other local users can see it while the\n"
     "command runs (ps), and the shell history keeps it"},
    {"--group", "G", kWrite, [](Arguments& a, const std::string& value) { a.groupName = value; },
     "make the file owned by group G and readable by its members\n"
     "(mode 0640); without it, only its owner can read it (mode 0600),\n"
     "also when it replaces one"},
    {"--fingerprint", "HEX", kTrust,
     [](Arguments& a, const std::string& value) {
         a.fingerprint = data_access::sqlserver::NormalizeFingerprint(value);
         if (!a.fingerprint)
             throw UsageError{
                 "--fingerprint takes a SHA-256 fingerprint (64 hex digits) or a SHA-1 thumbprint "
                 "(40 hex digits), colons optional."};
     },
     "the SHA-256 fingerprint or SHA-1 thumbprint the database\n"
     "administrator gave (colons optional, any case); when it does\n"
     "not match, nothing is pinned"},
    {"--help", "", kEveryCommand, [](Arguments& a, const std::string&) { a.help = true; },
     "print this text (also -h, or help, in place of the command)"},
};

constexpr std::pair<std::string_view, Command> kCommands[] = {
    {"write", kWrite}, {"show", kShow}, {"check", kCheck}, {"trust", kTrust}};

constexpr base::ExitStatus kExitStatuses[] = {
    {exit_code::kDone, "Done."},
    {exit_code::kFailed,
     "The file could not be written or read, the check failed, or trust pinned nothing (a fingerprint that does "
     "not match, no confirmation, no certificate to be read)."},
    {exit_code::kUsage,
     "A usage error, a value the table cannot hold (a number out of its column's range, a text longer than 255 "
     "characters), or settings Quellmark could not connect with."},
};

const Option& OptionNamed(std::string_view name) {
    for (const Option& option : kOptions)
        if (option.name == name) return option;
    throw UsageError{"unknown option \"" + std::string(name) + "\"."};
}

std::string_view NameOf(Command command) {
    for (const auto& [name, each] : kCommands)
        if (each == command) return name;
    return {};
}

// The help lines of the options that exactly these commands take.
std::string OptionsOf(unsigned commands) {
    constexpr std::size_t kHelpColumn = 21;
    std::string text;
    for (const Option& option : kOptions)
        if (option.commands == commands)
            text += base::HelpEntry(
                std::string(option.name) + (option.value.empty() ? "" : " ") + std::string(option.value), option.help,
                kHelpColumn);
    return text;
}

std::string UsageText() {
    return "Usage:\n"
           "  quellmark-settings write FILE OPTIONS   write a settings file (Jet 4 .mdb) holding one row\n"
           "  quellmark-settings show FILE            print the settings Quellmark reads from FILE\n"
           "  quellmark-settings check FILE           connect as Quellmark does and count the rows of ATR_Log\n"
           "  quellmark-settings trust FILE [--fingerprint HEX]\n"
           "                                          pin the certificate of the server FILE names\n"
           "\n"
           "write needs every value of the row in Settings_General (an empty text is fine):\n" +
           OptionsOf(kWrite) +
           "With a terminal on standard input and without --password, write asks for the\n"
           "password without showing it.\n"
           "\n"
           "check opens the connection with the settings as Quellmark does (the same time-out,\n"
           "the same messages) and counts the rows of ATR_Log: it prints one line, or the\n"
           "message Quellmark would show. A second line says which trust the server's\n"
           "certificate met: the pinned certificate, or an authority of the system's store.\n"
           "\n"
           "trust reads the server from FILE, fetches its certificate without logging in (no\n"
           "user name, password or Kerberos ticket is sent), shows its subject, issuer,\n"
           "validity, SHA-256 fingerprint and SHA-1 thumbprint, and pins it for that server in\n"
           "the trust folder (/etc/quellmark/trusted-servers, or $QUELLMARK_TRUST_DIR) once it\n"
           "is confirmed: on a terminal it asks; otherwise it needs\n" +
           OptionsOf(kTrust) +
           "Replacing a different certificate pinned before is announced with a warning and\n"
           "needs the same confirmation.\n"
           "\n" +
           OptionsOf(kEveryCommand) +
           "\n"
           "Exit status:\n" +
           base::ExitStatusLines(kExitStatuses);
}

}  // namespace

std::span<const base::ExitStatus> ExitStatuses() { return kExitStatuses; }

const std::string kUsage = UsageText();

std::optional<Command> CommandNamed(std::string_view name) {
    for (const auto& [each, command] : kCommands)
        if (each == name) return command;
    return std::nullopt;
}

Arguments ParseArguments(Command command, const std::vector<std::string>& args) {
    const std::string commandName(NameOf(command));
    Arguments arguments;
    std::set<std::string_view> given;
    const auto takesValue = [&](std::string_view name) { return !OptionNamed(name).value.empty(); };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const base::CommandArgument argument = base::TakeArgument(args, i, takesValue);
        if (argument.option.empty()) {
            if (!arguments.file.empty())
                throw UsageError{commandName + " takes exactly one FILE; \"" + *argument.value + "\" is one too many."};
            arguments.file = *argument.value;
            continue;
        }
        const Option& option = OptionNamed(argument.option);
        if ((option.commands & command) == 0)
            throw UsageError{argument.option + " is not an option of " + commandName + "."};
        if (!given.insert(option.name).second) throw UsageError{argument.option + " is given twice."};
        option.apply(arguments, argument.value.value_or(""));
    }
    if (arguments.file.empty() && !arguments.help) throw UsageError{commandName + " takes exactly one FILE."};
    return arguments;
}

void Say(std::string_view text, base::Layout layout) {
    base::Report(stderr, "quellmark-settings: " + std::string(text), layout);
}

}  // namespace quellmark::settings_tool
