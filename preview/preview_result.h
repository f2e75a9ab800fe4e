// One model of a preview's result: what was read and assumed, what the run
// did, and what the reader should know about it. The text output and the JSON
// document are both written from it, so they cannot tell different stories.
#pragma once

#include "preview.h"

#include <string>
#include <vector>

namespace preview
{

// A note or a warning: about one input file (sSubject is its path) or about
// the preview as a whole (sSubject empty). Text for the terminal (UTF-8).
struct Message
{
    std::string sSubject;
    std::string sText;
};

struct Result
{
    // The request.
    std::string sTyped;    // the argument text as typed
    std::string sArgument; // as the program gets it (machine text)
    size_t nArgumentChanged = 0;
    std::string sComponent; // present, absent, noexport
    std::string sComponentNote;
    std::string sWriteResult; // empty: none asked for
    bool fWriteResultReplaces = false;
    bool fWriteResultDone = false;

    // What was read and assumed.
    std::vector<InputFile> vFiles;
    CurrentUser user;
    VersionChoice version;
    MachineFolders folders;
    std::string sPrintersKey;
    std::vector<PrinterFound> vPrinters;

    // The run.
    int nStatus = 0;                // the program's exit status, -1 when it did not end normally
    std::string sLogName;           // empty: no log written
    std::vector<std::string> vsLog; // its lines (machine text), without their line ends
    ChangeList changes;
    std::vector<std::string> vsConversionsOnRun;
    std::vector<std::string> vsCalls; // VendorUninstall's printer names, in order

    // What the log and the calls say, worked out by Analyse.
    enum Verdict
    {
        NoVerdict, // no closing line: the program did not finish its log
        Succeeded,
        Failed
    } eVerdict = NoVerdict;
    std::string sOperation;     // install, uninstall, or empty when the log names neither
    bool fHasDriver = false;    // the log has a driver name other than NULL
    std::string sDriver;        // machine text
    std::vector<bool> vfTold;   // per printer: VendorUninstall was called for it
    size_t nDriverPrinters = 0; // printers whose driver is the run's driver
    std::vector<Message> vNotes;
    std::vector<Message> vWarnings;
};

// Fills the verdict, the operation, the driver, which printers were told,
// and the notes and warnings, from the rest of the result.
void Analyse(Result* pResult);

// The whole text output: the answer first, then the details.
std::string RenderText(const Result& result);

// The JSON document (ASCII; see preview_json.cpp for how text is carried).
std::string RenderJson(const Result& result);

// The registry value type's name as the Windows headers spell it, or its
// number.
std::string ValueTypeName(unsigned long dwType);

} // namespace preview
