#include "options.h"

#include <stdlib.h>

#include <string>

#include "build_error.h"
#include "host_files.h"
#include "spanned_set.h"

namespace kvmake {

namespace {

// Seconds since 1970 UTC as decimal digits, up to the last second the
// extended timestamp holds (2038-01-19 03:14:07).
int64_t ParseEpoch(const std::string& text, const std::string& what) {
    const int64_t kLast = 2147483647;
    int64_t value = 0;
    bool valid = !text.empty() && text.size() <= 10;
    for (char c : text) {
        if (c < '0' || c > '9') valid = false;
        else value = value * 10 + (c - '0');
    }
    if (!valid || value > kLast)
        UsageError(what + " is a count of seconds since 1970-01-01 00:00 UTC, from 0 to 2147483647 (2038), not " +
                   Quoted(text));
    return value;
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    Options options;
    bool onlyInputs = false, crcAfterHeaders = false;
    for (int i = 1; i < argc; i++) {
        std::string word = argv[i];
        if (onlyInputs || word.empty() || word[0] != '-' || word == "-") {
            options.inputs.push_back(word);
            continue;
        }
        if (word == "--") {
            onlyInputs = true;
            continue;
        }
        // "--name=value" and "--name value" are the same.
        std::string inlineValue;
        bool hasInlineValue = false;
        const size_t equals = word.find('=');
        if (word.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            inlineValue = word.substr(equals + 1);
            word = word.substr(0, equals);
            hasInlineValue = true;
        }
        auto value = [&]() -> std::string {
            if (hasInlineValue) return inlineValue;
            if (i + 1 >= argc) UsageError(word + " needs a value");
            return argv[++i];
        };
        auto flag = [&](bool* target) {
            if (hasInlineValue) UsageError(word + " takes no value");
            *target = true;
        };
        if (word == "-h" || word == "--help") flag(&options.help);
        else if (word == "-o" || word == "--output") options.output = value();
        else if (word == "--stub") options.stub = value();
        else if (word == "--dest") options.destFolder = value();
        else if (word == "--info") options.info = value();
        else if (word == "--prompt") options.prompt = value();
        else if (word == "--run") {
            options.run = value();
            if (options.run.find_first_not_of(" \t") == std::string::npos) UsageError("--run needs a command line");
        }
        else if (word == "--title") {
            options.title = value();
            options.titleGiven = true;
        } else if (word == "--prompt-style") {
            const std::string style = value();
            if (style == "ok") options.promptStyle = PromptStyle::Ok;
            else if (style == "yesno") options.promptStyle = PromptStyle::YesNo;
            else if (style == "okcancel") options.promptStyle = PromptStyle::OkCancel;
            else UsageError("--prompt-style is ok, yesno or okcancel, not " + Quoted(style));
        } else if (word == "--title-in-dialog") flag(&options.titleInDialog);
        else if (word == "--auto") flag(&options.autoMode);
        else if (word == "--overwrite") flag(&options.overwrite);
        else if (word == "--crc-after-headers") flag(&crcAfterHeaders);  // the default, kept for old scripts
        else if (word == "--crc-with-headers") flag(&options.crcWithHeaders);
        else if (word == "--no-stub-crc") flag(&options.noStubCrc);
        else if (word == "--level") {
            const std::string level = value();
            if (level.size() != 1 || level[0] < '0' || level[0] > '9')
                UsageError("--level is a digit from 0 (store) to 9 (smallest), not " + Quoted(level));
            options.level = level[0] - '0';
            options.levelGiven = true;
        } else if (word == "--password") {
            options.password = value();
            options.passwordGiven = true;
        } else if (word == "--password-file") options.passwordFile = value();
        else if (word == "--span") options.spanSize = ParseVolumeSize(value());
        else if (word == "--exe-volumes") flag(&options.exeVolumes);
        else if (word == "--description") options.description = value();
        else if (word == "--company") options.company = value();
        else if (word == "--product") options.product = value();
        else if (word == "--version") options.version = value();
        else if (word == "--copyright") options.copyright = value();
        else if (word == "--list" || word == "--test" || word == "--extract") {
            if (options.readerCommand != ReaderCommand::None) UsageError("give one of --list, --test and --extract");
            options.readerCommand = word == "--list"   ? ReaderCommand::List
                                    : word == "--test" ? ReaderCommand::Test
                                                       : ReaderCommand::Extract;
            options.readFile = value();
        } else if (word == "--date") options.date = ParseEpoch(value(), "--date");
        else UsageError("unknown option " + Quoted(word) + " (kvsfx-make --help lists them)");
    }
    if (options.help) return options;
    const char* sourceDate = getenv("SOURCE_DATE_EPOCH");
    if (options.date < 0 && sourceDate != nullptr && sourceDate[0] != 0)
        options.date = ParseEpoch(sourceDate, "SOURCE_DATE_EPOCH");
    if (options.readerCommand != ReaderCommand::None) {
        if (!options.output.empty()) UsageError("--list, --test and --extract write no self-extracting file: drop -o");
        const size_t wanted = options.readerCommand == ReaderCommand::Extract ? 1 : 0;
        if (options.readerCommand == ReaderCommand::Extract && options.inputs.size() != 1)
            UsageError("--extract FILE DEST: name the folder to extract into");
        if (options.inputs.size() > wanted) UsageError("unexpected " + Quoted(options.inputs[wanted]));
        if (options.passwordGiven && !options.passwordFile.empty())
            UsageError("give the password either with --password or with --password-file, not both");
        return options;
    }
    if (options.output.empty()) UsageError("no output named: give -o FILE (kvsfx-make --help explains)");
    if (options.inputs.empty()) UsageError("no input: give a zip, or the files and folders to pack");
    if (options.passwordGiven && !options.passwordFile.empty())
        UsageError("give the password either with --password or with --password-file, not both");
    if (options.exeVolumes && options.spanSize == 0) UsageError("--exe-volumes goes with --span");
    if (options.crcWithHeaders && options.noStubCrc) UsageError("--crc-with-headers and --no-stub-crc exclude each other");
    if (crcAfterHeaders && options.noStubCrc) UsageError("--crc-after-headers and --no-stub-crc exclude each other");
    if (crcAfterHeaders && options.crcWithHeaders)
        UsageError("--crc-after-headers and --crc-with-headers exclude each other");
    return options;
}

namespace {

// The help, less the --stub lines, which name the default stub of the system
// the builder runs on (host_files.h).
const char kHelpFirstLines[] = R"(Usage: kvsfx-make -o OUTPUT [options] INPUT...

Makes a self-extracting file: a program that shows a dialog, asks where to
put the files it carries, and extracts them there.

INPUT is either one zip archive (a name ending in .zip), whose entries are
carried as they are, or any number of files and folders, which are
compressed into the file. Folders are stored with everything inside them,
under their own name: "kvsfx-make -o setup.exe dist" extracts as dist\...
Empty folders are kept. Each file keeps its modification time, to the
second and whatever the time zones of both machines. Names are
stored in the Windows-1252 code page; a name with characters outside it
(Greek, Cyrillic, Chinese...) is refused, as are names Windows cannot create.

Output:
  -o, --output FILE      Write the self-extracting file to FILE.
)";

const char kHelpLastLines[] = R"(
What the user sees:
  --dest FOLDER          Folder offered for the files; "." means the folder
                         the program is run from. Default: a temporary folder.
  --title TEXT           Title of the start-up prompt (at most 64 characters).
  --title-in-dialog      Also show the title in the main dialog's caption
                         ("Installation" when no title is given).
  --prompt TEXT          A message shown before the dialog (at most 513
                         characters).
  --prompt-style STYLE   How the prompt is answered: ok (just informs; the
                         default), yesno or okcancel (No or Cancel quits).
  --info TEXT            Text shown when the program is run with -info
                         (at most 511 characters).
  --auto                 Extract at once to the offered folder, then close.
  --run 'COMMAND LINE'   Once every file is extracted, start the program
                         COMMAND LINE names (a path inside the destination
                         folder, then its arguments; quote a path with
                         blanks in "..."), in the destination folder, and
                         end with its exit code. No shell is involved. At
                         most 511 characters.
  --overwrite            Start with "replace existing files without asking"
                         ticked.

Compression and protection:
  --level N              0 stores files as they are; 1 (fastest) to 9
                         (smallest) compress them. Default 6. A file that
                         does not get smaller is stored. Only for files and
                         folders: a zip's entries are copied as they are.
  --password PW          Protect every file with the traditional zip
                         password PW (at most 254 characters). Others on
                         this machine can see a password given this way:
  --password-file F      prefer this, which reads the password from the
                         first line of the file F.
                         The traditional zip password keeps out casual
                         readers, not a determined attacker.

Integrity:
  The program checks itself at start-up against a CRC-32 of everything
  before the archive but the executable's headers, which signing the file
  afterwards changes (see the README on signing).
  --no-stub-crc          Do not let the program check itself.
  --crc-with-headers     Let that check cover the headers too: once signed,
                         the file refuses to start; its header checksum
                         stays 0 (the check would cover its own result).
  --crc-after-headers    The default, accepted for older scripts.

Version information of a Windows program (shown in its Properties):
  --description TEXT     What the program is. Default: the title.
  --company TEXT         Who publishes it. Default: empty.
  --product TEXT         The product it belongs to. Default: the title.
  --version TEXT         Its version, such as 2.1 or 2.1.0.5; the leading
                         numbers also fill the numeric version. Default 1.0.
  --copyright TEXT       Its copyright notice. Default: empty.
                         The texts have fixed room in the stub: 63
                         characters each, 23 for the version. Without a
                         title, description and product name are the stub's
                         own ("Kelvra Self-Extractor").

Several disks:
  --span SIZE            Write the file as a set of volumes, one per
                         removable disk, none larger than SIZE bytes (1423k
                         fills a 1.44 MB floppy; k = 1024, m = 1048576).
                         Disk 1 gets OUTPUT, and with it the first part of
                         the archive, beside it as NAME.ZIP (NAME being
                         OUTPUT's name without its extension); together they
                         take at most SIZE. Disk N (2, 3, ...) gets the
                         folder diskN written beside OUTPUT, holding NAME.ZIP.
  --exe-volumes          The volumes are named NAME.EXE instead, and disk
                         1's part of the archive lies inside OUTPUT itself.
                         The program looks for a volume under that name in
                         its own folder, so OUTPUT should be named NAME.EXE.
                         Copy OUTPUT (and NAME.ZIP) to the first disk and
                         the content of each folder diskN, not the folder,
                         to disk N. Label the disks PKBACK# 001, PKBACK# 002,
                         and so on: the program recognises each disk by its
                         label and asks for the next one when it needs it.
                         Joined end to end (disk 1's NAME.ZIP, or OUTPUT
                         with --exe-volumes, then the others), the volumes
                         make an ordinary zip archive.

Reading a self-extracting file (made for Windows or Linux) without running it:
  --list FILE            Show its settings and one line per entry.
  --test FILE            Check the program's checksum, the program to run
                         (a file inside the destination) and every entry's
                         CRC; encrypted entries need --password (or
                         --password-file).
  --extract FILE DEST    Extract its files into the folder DEST, with the
                         program's name checks; nothing is written through a
                         symbolic link, and an existing file is replaced only
                         with --overwrite. Extraction only: the program to
                         run, if any, is not started.
  These exit with 0 when the file is sound (and extracted), 2 when it is
  damaged or refused, 1 on an internal failure.

Reproducible output:
  --date SECONDS         Give every entry this time, in seconds since
                         1970-01-01 00:00 UTC (up to 2147483647, in 2038).
                         The SOURCE_DATE_EPOCH environment variable does the
                         same when --date is not given. The DOS date and time
                         of the entries are then written in UTC, so that the
                         output does not depend on this machine's time zone.
                         The same inputs and options always give the same
                         bytes: inputs are taken in the order given, each
                         folder's content sorted by name (whatever order the
                         system lists it in), and nothing of the build's own
                         time is written. The one exception is --password:
                         its encryption headers are random, so each protected
                         file differs.

  -h, --help             Show this text.

The program made ends with 0 when the files were extracted (with --run:
the started program's exit code), 2 when it was refused, the run did not
finish or the program could not be started, 1 after an internal error.

Exit status: 0 when the file was made; 1 when an input, the stub or the
output was refused or could not be written (nothing is left behind); 2 for
a mistake on the command line.
)";

}  // namespace

const char* HelpText() {
    static const std::string text = std::string(kHelpFirstLines) + kStubOptionHelp + kHelpLastLines;
    return text.c_str();
}

}  // namespace kvmake
