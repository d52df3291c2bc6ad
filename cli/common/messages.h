// Every sentence the two programs say, in one table, as xz keeps its messages
// in one file: a wording is changed here and nowhere else, and a situation
// met by both programs is said in one way. Each is a printf format: a %s that
// stands for a file's name is given the name quoted (quote.h), one that
// stands for a reason is given strerror's text. In 3do convert's reports,
// CONVERT3DO_OUTPUT_NAME and CONVERT3DO_FOLDER_NAME stand for the output's
// name and the output folder's: a report holds no path, however deep the
// file, and the names are put in, quoted, when it is printed. Damage is said in the library's words
// (convert3do_damage_text), as the page and the Python package say it.
#ifndef CONVERT3DO_CLI_COMMON_MESSAGES_H
#define CONVERT3DO_CLI_COMMON_MESSAGES_H

// Control characters, which a quoted name never holds.
#define CONVERT3DO_OUTPUT_NAME "\x01"
#define CONVERT3DO_FOLDER_NAME "\x02"

namespace convert3do {
namespace say {

// convert3do's own: its two messages on standard output, fixed, and what it
// adds on standard error.
constexpr const char* kFileNotFound = "FILE NOT FOUND!\n\a";
constexpr const char* kNotTorvanels = "The referenced file is not in Torvanels' 3do format\n\a";
constexpr const char* kConvert3doDamagedEmpty = "damaged: %s; %s is left empty";
constexpr const char* kConvert3doDamagedKept =
    "damaged: %s; %s keeps the %lld chunk bytes before it";
constexpr const char* kConvert3doCannotWriteOutput = "cannot write the output: %s%s";
constexpr const char* kConvert3doNotSeekable = " (the output must be a seekable file)";
constexpr const char* kConvert3doNoOutputNamed = "no output file named after the input";
constexpr const char* kConvert3doCannotOpen = "cannot open: %s%s";
constexpr const char* kConvert3doOpensForUpdate =
    " (convert3do opens its input for reading and update)";
constexpr const char* kConvert3doSameFile =
    "is the same file as the input %s; refusing to overwrite it";
constexpr const char* kConvert3doCannotCreateOutput = "cannot create the output: %s";
constexpr const char* kConvert3doCannotRemovePartial = "cannot remove the partial output: %s";

// Opening and reading inputs.
constexpr const char* kCannotOpen = "cannot open: %s";
constexpr const char* kEmptyName = "cannot open: an empty name";
constexpr const char* kCannotRead = "cannot read: %s";
constexpr const char* kCannotReadInput = "cannot read the input: %s";
constexpr const char* kCannotReadFolder = "cannot read the folder: %s";
constexpr const char* kFolderMoved = "it was moved during the run";
constexpr const char* kFolderReplaced = "cannot open: its folder was replaced during the run";
constexpr const char* kReplaced = "was replaced during the run; left as it is";
constexpr const char* kIsFolder = "is a folder (use -r for the .3do files in its tree)";
constexpr const char* kStandardInputUnnamed =
    "standard input has no name to convert in place or into a folder; use -o";
constexpr const char* kRegularOnly = "is not a regular file; -i converts regular files only";
constexpr const char* kCannotWriteStandardOutput = "cannot write: %s";

// What a walk finds.
constexpr const char* kNotA3do = "not a 3do file (it does not start with the magic 3DO4)";
constexpr const char* kDamaged = "damaged: %s";
constexpr const char* kChangedWhileConverted = "changed while it was converted";

// Zip archives: what is wrong with one (a %s before the colon names an
// entry, quoted as a shell word), and what 3do says of them.
constexpr const char* kArchivesNotBuilt =
    "is a zip archive; this 3do was built without archives (it needs libzip)";
constexpr const char* kZipNoEndRecord =
    "a zip archive cut short: it has no end record (end of central directory)";
constexpr const char* kZipSplit =
    "a zip archive split over several disks; 3do reads whole archives";
constexpr const char* kZipDirectory =
    "a damaged zip archive: its end records and its central directory disagree";
constexpr const char* kZipLocalHeader =
    "a damaged zip archive: entry %s: its local header is missing or its bytes run into the "
    "central directory";
constexpr const char* kZipInconsistent =
    "a damaged zip archive: its central directory disagrees with a local header";
constexpr const char* kZipOverlap =
    "entries %s and %s share bytes (overlapping entries, a zip bomb's trick); refusing the "
    "archive";
constexpr const char* kZipRatio =
    "entry %s states %llu bytes, more than its %llu stored bytes can hold (a zip bomb's "
    "trick); refusing the archive";
constexpr const char* kZipDuplicate = "two entries are named %s; refusing the archive";
constexpr const char* kZipUnsafeName =
    "entry %s has an unsafe name (absolute, climbing out with .., or with a control "
    "character); refusing the archive";
constexpr const char* kZipCrc = "a damaged zip archive: entry %s: its bytes do not match its CRC";
constexpr const char* kZipSize =
    "a damaged zip archive: entry %s: its bytes do not match its stated size";
constexpr const char* kZipInflate = "a damaged zip archive: entry %s: its deflated bytes are %s";
constexpr const char* kZipEncryptedModel =
    "entry %s is encrypted: 3do cannot read the model; refusing the archive";
constexpr const char* kZipMethodModel =
    "entry %s is compressed with method %u: 3do reads models stored or deflated; refusing the "
    "archive";
constexpr const char* kZipNotArchive = "not a zip archive";
constexpr const char* kZipNoModels = "a zip archive with no 3do models in it";
constexpr const char* kZipEntryDamaged = "entry %s: damaged: %s";
constexpr const char* kZipCannotRead = "cannot read the zip archive: %s";
constexpr const char* kZipCannotWrite = "cannot write the archive: %s";
constexpr const char* kZipCannotScratch = "cannot make a scratch file for entry %s: %s";
constexpr const char* kVersionArchives = "zip archives: %s\n";
constexpr const char* kVersionNoArchives = "zip archives: not built (libzip was not found)\n";
constexpr const char* kZipEntryNamed = " entry ";  // between the names of a nested entry
constexpr const char* kInfoArchive = "  archive:    %s: %s, %s, %s%s\n";
constexpr const char* kInfoArchiveListed = " (--entries lists them)";
constexpr const char* kInfoOtherEntry = "  entry:      %s, %s%s\n";
constexpr const char* kInfoOtherArchive = ", an archive opened in turn";
constexpr const char* kInfoStoredAs = "stored as %s with method %u";

// 3do convert: what the plan skips and refuses.
constexpr const char* kSymlinkInTree = "a symlink met in a folder is not followed";
constexpr const char* kNotRegularInTree = "not a regular file";
constexpr const char* kNamedBefore = "the same file as %s, named before; dealt with once";
constexpr const char* kOutputIsInput =
    "its output " CONVERT3DO_OUTPUT_NAME " is one of the inputs; refusing to overwrite it";
constexpr const char* kOutputShared =
    "its output " CONVERT3DO_OUTPUT_NAME " is another input's output too";
constexpr const char* kOutputIsFolder =
    "its output " CONVERT3DO_OUTPUT_NAME " is a folder (-d DIR puts the outputs into a folder)";
constexpr const char* kOutputNotRegular =
    "its output " CONVERT3DO_OUTPUT_NAME
    " exists and is not a regular file; refusing to replace it";
constexpr const char* kOutputExists =
    "its output " CONVERT3DO_OUTPUT_NAME " exists (--force replaces it)";
constexpr const char* kOutputFolderLink =
    "its output folder " CONVERT3DO_FOLDER_NAME
    " is a symbolic link, not a folder; nothing written there";
constexpr const char* kOutputFolderNotFolder =
    "its output folder " CONVERT3DO_FOLDER_NAME " is not a folder; nothing written there";
constexpr const char* kOutputFolderReplaced = "its output folder " CONVERT3DO_FOLDER_NAME
                                              " was replaced during the run; nothing written there";
constexpr const char* kCannotOpenOutputFolder =
    "cannot open its output folder " CONVERT3DO_FOLDER_NAME ": %s; nothing written there";
constexpr const char* kCannotCreateFolderOf =
    "cannot create the folder of " CONVERT3DO_OUTPUT_NAME ": %s";
constexpr const char* kCannotUseOutputFolder = "cannot use as the output folder: %s";

// 3do convert: what happens to a file.
constexpr const char* kNothingWritten = "; nothing written";
constexpr const char* kLeftAsItIs = "; left as it is";
constexpr const char* kSalvageWrites = "; nothing written (--salvage writes its complete chunks)";
constexpr const char* kSalvageWould = "; --salvage would write its complete chunks";
constexpr const char* kSalvaged = "; its complete chunks are written";
constexpr const char* kHardLinks =
    "has %llu hard links; replacing it would part it from the others (--force replaces it all "
    "the same)";
constexpr const char* kCannotKeep = "cannot keep %s: %s; left as it is";
constexpr const char* kCannotReplace = "cannot replace it: %s";
constexpr const char* kCannotWrite = "cannot write " CONVERT3DO_OUTPUT_NAME ": %s";
constexpr const char* kCannotWriteConversion = "cannot write its conversion: %s; left as it is";
constexpr const char* kOutputAppeared =
    "its output " CONVERT3DO_OUTPUT_NAME
    " appeared during the run; nothing written (--force replaces only what was "
    "there when the run began)";
constexpr const char* kFolderMovedNotWritten = "its folder was moved during the run; not written";
constexpr const char* kFolderMovedLeft = "its folder was moved during the run; left as it is";
constexpr const char* kCannotCheckFolder = "cannot tell that its folder is where it was: %s";
constexpr const char* kCannotWriteStdout = "cannot write standard output: %s";
constexpr const char* kCannotSyncFolder = "cannot sync the folder of the new file: %s";
constexpr const char* kCannotCreateScratch =
    "cannot create a scratch file for standard output in %s: %s";
constexpr const char* kCannotWriteScratch = "cannot write the scratch file for standard output: %s";

// 3do convert: the run.
constexpr const char* kWarningLeftOver =
    "warning: a temporary file left by an interrupted run; remove it once no run is under way";
constexpr const char* kWarningLeftOverBelow =
    "warning: temporary files left by interrupted runs below it (%lld); once no run is under "
    "way, remove them with: find %s -type f -regextype posix-extended -regex "
    "'.*/\\.[^/]*\\.[0-9a-f]{6,}\\.tmp' -delete";
constexpr const char* kWarningWorkers = "cannot start another worker: %s; going on with %zu";
constexpr const char* kWarningSignals =
    "cannot watch for signals: %s; a signal ends the run at once, and may leave temporary files";
constexpr const char* kInterrupted = "interrupted by %s: ";

// Usage errors of 3do.
constexpr const char* kUnknownOption = "unknown option %s";
constexpr const char* kAmbiguousOption = "option %s is ambiguous: %s";
constexpr const char* kOptionNeedsValue = "option %s needs a value";
constexpr const char* kUnknownCommand = "unknown command (see 3do --help)";
constexpr const char* kDidYouMean = "unknown command; did you mean %s? (see 3do --help)";
constexpr const char* kOptionsAfterCommand = "options go after the command: 3do %s %s ...";
constexpr const char* kCommandFirst = "unknown option; a command comes first (see 3do --help)";
constexpr const char* kSeeHelp = "%s (see 3do help %s)";
constexpr const char* kNoFileNamed = "no file named";
constexpr const char* kNoDestination =
    "say where the output goes: -o FILE, -d DIR or -i (in place); a conversion drops data, so "
    "nothing is replaced by default";
constexpr const char* kOneDestination = "give exactly one of -o FILE, -d DIR and -i";
constexpr const char* kJobsRange = "-j takes a number of workers from 1 to 100000";
constexpr const char* kOutputSingle =
    "-o takes a single input; use -d DIR for several, or for a folder's tree";
constexpr const char* kJsonAndStdout = "--json and -o - would share standard output";
constexpr const char* kStdoutTerminal =
    "standard output is a terminal; a model is not written to it (-f writes it)";
constexpr const char* kSalvageInPlace =
    "--salvage and -i: a damaged file is never replaced in place";

// 3do info and check.
constexpr const char* kUnknownBytes = "an unknown number of bytes";
constexpr const char* kSizeNotKnown = "size not known";
constexpr const char* kProgramsNotA3do =
    "convert3do writes an empty file and says it is not a 3do file; 3do convert refuses it "
    "(status %d)";
constexpr const char* kProgramsDamaged =
    "convert3do writes its complete chunks (status %d); 3do convert writes nothing without "
    "--salvage";

// 3do info's text: the file's name, a table of its chunks as the walk meets
// them (an XYZS chunk's row ends with its entries), then what it found.
constexpr const char* kInfoChunkHeading =
    "        offset  tag          chunk word      payload        size   entries  to change\n";
constexpr const char* kInfoChunkRow = "  %12lld  %-10s  %11ld  %11ld  %10lld";
constexpr const char* kInfoEntriesColumns = "  %8lld  %9lld";
constexpr const char* kInfoNotA3do = "  file:       %s, not a 3do file\n";
constexpr const char* kInfoHeaderCut = "  file:       %s, magic 3DO4, header cut short\n";
constexpr const char* kInfoHeader =
    "  file:       %s, magic 3DO4, header word %ld, length field %ld\n";
constexpr const char* kInfoChunks = "  chunks:     %lld, %s\n";
constexpr const char* kInfoWalkEnds = "  walk ends:  %s\n";
constexpr const char* kInfoWritesEmpty = "  conversion: writes an empty file, drops %s\n";
constexpr const char* kInfoAlreadyConverted =
    "  conversion: already converted (a conversion changes nothing)\n";
constexpr const char* kInfoConversion =
    "  conversion: writes %s, length field %lld, changes %s, drops %s\n";
constexpr const char* kInfoPrograms = "  programs:   %s\n";
constexpr const char* kWouldDropAtTag =
    "a conversion would drop %s: the unrecognised chunk at byte %lld (%s) and everything after "
    "it";
constexpr const char* kWouldDropBeyond =
    "a conversion would drop %s beyond the length bound, from byte %lld on";
constexpr const char* kLengthDiffers =
    "the length field states %ld chunk bytes, the chunks present make %lld";

// 3do convert's words for what a run did with a file, in the order of its
// verdicts (convert_report.h), and the words its lines and summary add.
constexpr const char* kVerdictWords[] = {
    "converted", "already converted", "up to date", "damaged", "refused", "failed", "skipped"};
constexpr const char* kWouldBe = "would be ";
constexpr const char* kDryRun = "dry run: ";
constexpr const char* kSalvagedWord = "salvaged";
constexpr const char* kDropped = "dropped";

// What of a file's metadata could not be kept (after "cannot keep").
constexpr const char* kItsExtendedAttributes = "its extended attributes";
constexpr const char* kItsExtendedAttribute = "its extended attribute ";  // and its name
constexpr const char* kItsOwnerAndGroup = "its owner and group";
constexpr const char* kItsMode = "its mode";

// The help texts: convert3do's, and 3do's and each of its commands'.
constexpr const char* kConvert3doUsage =
    "usage: convert3do [INPUT OUTPUT]\n"
    "\n"
    "Converts a 3do model file: the first word of every XYZS entry becomes 1,\n"
    "the copy ends at the first unrecognised chunk or where the header's length\n"
    "field ends the chunk area, and the length field states the chunk bytes\n"
    "written. With no arguments, in.3do is converted into out.3do.\n"
    "\n"
    "The input must be a file you may open for reading and update (it is only\n"
    "read); a refused input prints FILE NOT FOUND! and says why on stderr. An\n"
    "interrupted run (Ctrl-C, SIGTERM, SIGHUP) removes its partial output; a\n"
    "killed one leaves a file whose first word is not the magic, so it never\n"
    "passes as converted. Names with control characters are quoted in messages.\n"
    "\n"
    "  -h, --help     show this help (only as the sole argument)\n"
    "  --version      show the version (only as the sole argument)\n"
    "\n"
    "Exit status:\n"
    "  0  converted, or the input is not a 3do file (a message says so)\n"
    "  1  the input cannot be opened\n"
    "  2  bad arguments, or the output is the input file\n"
    "  3  the output cannot be created or written (a partial file is removed)\n"
    "  4  the input is damaged; the output keeps every complete chunk\n";

constexpr const char* kThreeDoUsage =
    "usage: 3do COMMAND [OPTIONS] FILE...\n"
    "\n"
    "Converts, looks inside and checks 3do model files, and the models inside\n"
    "zip archives; - is standard input.\n"
    "\n"
    "Commands:\n"
    "  info [OPTIONS] FILE...  every chunk, where and why the walk ends, and what\n"
    "                          a conversion would write\n"
    "  check [OPTIONS] FILE... one line for each file with a problem, else quiet\n"
    "  convert -o FILE|-d DIR|-i [OPTIONS] FILE|DIR...\n"
    "                          convert many files safely, in parallel\n"
    "  help [COMMAND]          this help, or a command's\n"
    "\n"
    "  --help, --version       this help; the version\n"
    "\n"
    "Exit status (a run over many files gives the gravest):\n"
    "  0  every file is fine\n"
    "  1  a file cannot be opened\n"
    "  2  bad arguments\n"
    "  3  an output cannot be written\n"
    "  4  a file is damaged or cannot be read\n"
    "  5  check: the length field differs from the chunks present\n"
    "  6  check: valid, but a conversion would drop data\n"
    "  7  check, convert: not a 3do file\n";

constexpr const char* kInfoUsage =
    "usage: 3do info [OPTIONS] FILE|DIR...\n"
    "\n"
    "For each file: its size, header word and length field; every chunk the\n"
    "conversion keeps (offset, tag, chunk word, payload length, size, and for\n"
    "XYZS the entries and how many first words are not 1 yet); where and why the\n"
    "walk ends; and what a conversion would write: output size, new length\n"
    "field, words changed, bytes dropped, or that it is already converted.\n"
    "\n"
    "  --json             one JSON object per file (JSON Lines); the fields are\n"
    "                     listed in the README and the man page\n"
    "  --summary          the file's lines without the chunk table\n"
    "  --entries          with an archive, its other entries too\n"
    "  -a, --archives     with -r, also the .zip files in the trees\n"
    "  -r, --recursive    the .3do files (any case) in folders' trees; symlinks\n"
    "                     and what is not a regular file there are skipped\n"
    "  --files0-from=F    also read NUL-separated names from F (- for stdin)\n"
    "\n"
    "A zip archive (found by its bytes, whatever its name) is opened, and each\n"
    "model in it (found by its bytes too) listed as NAME entry ENTRY, with\n"
    "\"file\" and \"entry\" in --json; archives inside are opened three deep.\n"
    "\n"
    "Exit status: 0, or 1 when a file cannot be opened, 4 when one is damaged.\n";

constexpr const char* kConvertUsage =
    "usage: 3do convert (-o FILE | -d DIR | -i) [OPTIONS] FILE|DIR...\n"
    "\n"
    "Converts each file as convert3do does, into a temporary file in the\n"
    "destination's folder that is renamed into place only when complete: no run,\n"
    "interrupted or killed, leaves a partial file under a final name.\n"
    "\n"
    "Where the output goes (exactly one; a conversion drops data, so nothing is\n"
    "replaced by default):\n"
    "  -o, --output=FILE a single input into FILE; -o - writes standard output\n"
    "  -d, --output-dir=DIR\n"
    "                    each output into DIR under the input's name; with -r the\n"
    "                    tree below each folder given is mirrored\n"
    "  -i, --in-place    each regular file is replaced by its conversion, if its\n"
    "                    name still holds the file read; mode, owner, extended\n"
    "                    attributes and ACLs are kept (a symlink named is\n"
    "                    followed; fsync'd unless --no-sync); damaged files are\n"
    "                    never replaced\n"
    "Options:\n"
    "  -r, --recursive   convert the .3do files (any case) in folders' trees;\n"
    "                    symlinks met there are skipped, not followed\n"
    "  -a, --archives    with -r, also the .zip files (any case) in the trees\n"
    "  --files0-from=F   also read NUL-separated names from F (- for stdin)\n"
    "  -f, --force       replace existing outputs (regular files, or below -d DIR\n"
    "                    symlinks themselves); in place, files with hard links\n"
    "  --salvage         write the complete chunks of damaged files (not in place)\n"
    "  --no-sync         in place, do not fsync the new file and its folder\n"
    "  -j, --jobs=N      N workers (default: one per core; at most four per core)\n"
    "  -n, --dry-run     say what the run would do with each file; write nothing\n"
    "  -v, --verbose     a line per file\n"
    "  -q, --quiet       nothing but errors\n"
    "  --json            a JSON object per file and a summary object\n"
    "\n"
    "A file whose conversion changes nothing is left untouched. The same file\n"
    "named twice is converted once; an output that is an input is refused.\n"
    "Each file gets one result: converted, already converted, up to date,\n"
    "damaged, refused, failed or skipped. A dry run prints what the real run\n"
    "would do, on standard output.\n"
    "A zip archive named (or, with -a, found) is converted as one file: each\n"
    "model in it becomes its conversion, stored or deflated as it was, and every\n"
    "other entry is copied as it is stored; a damaged model refuses the archive\n"
    "unless --salvage, and one in which nothing changes is up to date.\n"
    "Exit status: 0 when no file was damaged, refused or failed, else the\n"
    "gravest: 1 cannot open, 2 usage, 3 output failed, 4 damaged, 7 not a 3do\n"
    "file.\n";

constexpr const char* kCheckUsage =
    "usage: 3do check [OPTIONS] FILE|DIR...\n"
    "\n"
    "Quiet unless something is wrong: one line per file with a problem (not a\n"
    "3do file; damaged, with the byte offset; a conversion would drop bytes\n"
    "after an unrecognised chunk or beyond the length bound; the length field\n"
    "differs from the chunks present), and the exit status of the gravest\n"
    "(see 3do --help).\n"
    "\n"
    "  --json             for each file with a problem, the object of info --json\n"
    "                     without the chunks, with problems and check_status\n"
    "  --all              with --json, an object for every file\n"
    "  -a, --archives     with -r, also the .zip files in the trees\n"
    "  -r, --recursive    the .3do files (any case) in folders' trees; symlinks\n"
    "                     and what is not a regular file there are skipped\n"
    "  --files0-from=F    also read NUL-separated names from F (- for stdin)\n";

}  // namespace say
}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_MESSAGES_H
