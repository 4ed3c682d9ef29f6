// The reply to the user: sentences the desk can send as they stand. The run
// message table's causes and advice are written for the desk (they name the
// log's lines and the desk's tools); these say the same to the user.
#include <string>

#include "tools/updlog/Explain.h"
#include "tools/updlog/ExplainParts.h"

namespace {

using M = TRunMsg;

const char kAgain[] = "Please run the update utility again. If it fails the same way, please send us the new log.";
const char kWhereTheLog[] =
    "the file StirpelloUpdateLog.txt, in the Stirpello folder or in %LOCALAPPDATA%\\Stirpello\\Update";

struct TRow {
    TRunMsg Id;
    TUserWords Words;
};

// Every line that can be a run's first fault (a fault, a stop, a close).
const TRow kRows[] = {
    {M::ProductRunning,
     {"Stirpello was still running, so the update utility stopped before changing anything.",
      "Please close Stirpello (or restart the computer), then run the update utility again.", true}},
    {M::ProgramRunning,
     {"Stirpello, or a genealogy program that works with it, was still running, so the update utility stopped "
      "before changing anything.",
      "Please close that program (or restart the computer), then run the update utility again.", true}},
    {M::ProcessesError,
     {"The update utility could not check which programs were running.",
      "Please close Stirpello and your genealogy program (or restart the computer), then run the update utility "
      "again.",
      true}},
    {M::ShortcutsError,
     {"The update utility could not read the Stirpello shortcuts on your desktop.",
      "Please run the update utility again; if it asks where Stirpello is, choose the file SPEngine.exe in your "
      "Stirpello folder.",
      true}},
    {M::NoEngine,
     {"The folder the update utility was given does not hold a Stirpello installation.",
      "Please run the update utility again and, when it asks, choose the folder that holds SPEngine.exe.", true}},
    {M::ModuleError, {"The update utility could not read the version of Stirpello's update module.", kAgain, true}},
    {M::IniMissing,
     {"Stirpello's settings file (Stirpello.ini) is missing.",
      "Please start Stirpello once and close it again, so that it writes its settings, then run the update "
      "utility again.",
      true}},
    {M::IniError,
     {"Stirpello's settings file (Stirpello.ini) could not be read or changed.",
      "Please make sure that Stirpello.ini in the Stirpello folder is not read-only (right-click it, then "
      "Properties), then run the update utility again.",
      true}},
    {M::SiteDown,
     {"Your internet connection works, but the Stirpello website did not answer properly (it was busy or "
      "down).",
      "Please wait a few hours, then run the update utility again.", true}},
    {M::InternetBlocked,
     {"The update utility could not reach the internet: neither a general test page nor the Stirpello website "
      "answered.",
      "Please check that the computer is connected to the internet and that your firewall or security software "
      "lets the update utility connect, then run it again.",
      true}},
    {M::InternetError, {"The update utility's internet test failed with an error.", kAgain, true}},
    {M::CatalogueUnavailable,
     {"The Stirpello website could not provide the list of available updates.",
      "Please try again later.", true}},
    {M::UpdatesError,
     {"The list of available updates arrived damaged; something on the way (such as a proxy or a network's "
      "sign-in page) may have changed it.",
      "Please try again later; if it happens again, please try from another network.", true}},
    {M::DownloadIncomplete,
     {"The download of the new update module stopped before its end.",
      "Please run the update utility again: it continues the download where it stopped.", true}},
    {M::DownloadCrc,
     {"The new update module was damaged on its way to your computer.",
      "Please run the update utility again: it downloads the file anew.", true}},
    {M::DownloadInvalid,
     {"The new update module downloaded completely, but it was refused when it was checked.", kAgain, true}},
    {M::DownloadSha256,
     {"The file that arrived was not the genuine update module, so the update utility deleted it without "
      "running it.",
      "Please run the update utility again from another network (for example at home rather than at work).",
      true}},
    {M::DeleteFailed,
     {"A refused download could not be deleted.",
      "Please delete the Download folder inside the Stirpello folder, then run the update utility again.", true}},
    {M::DownloadError,
     {"The new update module could not be downloaded.",
      "Please close Stirpello and run the update utility again. If it fails the same way, please send us the "
      "new log.",
      true}},
    {M::DownloadFailed,
     {"The new update module could not be downloaded.",
      "Please run the update utility again: it continues the download where it stopped.", true}},
    {M::CopyError,
     {"The new update module could not replace the old one.",
      "Please close Stirpello and make sure that Stirpello.exe in the Stirpello folder is not read-only "
      "(right-click it, then Properties). Then start the update utility again by double-clicking it, and answer "
      "Yes if Windows asks for permission.",
      true}},
    {M::CopyFailed,
     {"The new update module could not replace the old one.",
      "Please close Stirpello and make sure that Stirpello.exe in the Stirpello folder is not read-only "
      "(right-click it, then Properties). Then start the update utility again by double-clicking it, and answer "
      "Yes if Windows asks for permission.",
      true}},
    {M::MarkError,
     {"The update utility could not note the wanted update in Stirpello's settings file (Stirpello.ini).",
      "Please make sure that Stirpello.ini in the Stirpello folder is not read-only (right-click it, then "
      "Properties).",
      true}},
    {M::ClosedByUser,
     {"The update utility's window was closed before it had finished.",
      "Please run the update utility again and let it finish.", true}},
    {M::FolderOpen,
     {"Every user of this computer can change the Stirpello folder, which lets any program they run replace "
      "Stirpello's files.",
      "Please have an administrator remove ordinary users' write access to the Stirpello folder (right-click "
      "it, Properties, Security), or reinstall Stirpello into the Program Files folder.",
      false}},
    {M::LaunchFailed,
     {"The update module could not be started.",
      "Please start Stirpello.exe in the Stirpello folder yourself.", true}},
    {M::Sha256NotComputed,
     {"The downloaded update module could not be checked, probably because another program (such as security "
      "software) was using it.",
      "Please run the update utility again in a few minutes.", true}},
    {M::DownloadOversize,
     {"The server, or a proxy on your network, sent more data than the update module holds.",
      "Please try again later, or from another network.", true}},
    {M::HeldFileGiveUp,
     {"Another program (often security software) kept using a file the update utility needed.",
      "Please let your security software finish its scan (or allow the Stirpello folder in it), then run the "
      "update utility again.",
      true}},
    {M::ElevationRefused,
     {"Windows' request for administrator rights was declined, so nothing in the Stirpello folder was "
      "changed.",
      "Please run the update utility again and answer Yes when Windows asks for permission (an administrator may "
      "need to type their password there).",
      true}},
    {M::ElevatedWriteFailed,
     {"A change in the protected Stirpello folder could not be made.",
      "Please run the update utility again and answer Yes when Windows asks. If it fails the same way, please "
      "reinstall Stirpello.",
      true}},
    {M::ElevationGaveUp,
     {"Windows' request for administrator rights was not answered in time, so nothing in the Stirpello folder "
      "was changed.",
      "Please run the update utility again and answer Windows' request when it appears.", true}},
    {M::ModuleRightsRefused,
     {"The update module needs administrator rights, but other users of this computer can change the Stirpello "
      "folder, so starting it with those rights would not be safe.",
      "Please repair Stirpello (Settings, Apps, or Programs and Features: choose Stirpello, then Repair); the "
      "repair puts it in a folder that only administrators can change. Then run the update utility again.",
      false}},
    {M::FolderOthersOnly,
     {"Other users of this computer can change the Stirpello folder, so the update utility neither changed nor "
      "started anything there.",
      "Please have an administrator remove other users' write access to the Stirpello folder (right-click it, "
      "Properties, Security), or reinstall Stirpello into the Program Files folder.",
      false}},
};

}  // namespace

const TUserWords* UserWordsFor(TRunMsg id) {
    for (const TRow& r : kRows)
        if (r.Id == id) return &r.Words;
    return nullptr;
}

TUserWords UserWordsFor(TUserCase c) {
    switch (c) {
    case TUserCase::CrcTwice:
        return {"The new update module arrived damaged more than once; security software or a proxy on your "
                "network is probably changing downloads.",
                "Please turn off download scanning in your security software for a moment, or use another "
                "network, then run the update utility again.",
                true};
    case TUserCase::BlockedWithProxy:
        return {"The update utility could not reach the internet through the proxy set in Stirpello's settings.",
                "Please check the proxy settings in Stirpello (Tools, Settings, internet tab), then run the update "
                "utility again.",
                true};
    case TUserCase::NoModuleToReplace:
        return {"There was no update module in the Stirpello folder, so the new one (already downloaded) was not "
                "put in place.",
                "Please copy Stirpello.exe from the Download folder inside the Stirpello folder into the Stirpello "
                "folder itself, or reinstall Stirpello.",
                true};
    case TUserCase::Cut:
        return {"The log you sent ends before the update utility had finished, so we cannot tell yet what went "
                "wrong.",
                "Please send us the whole log: " + std::string(kWhereTheLog) + ".", true};
    }
    return {"", "", true};
}

// The system's reason a line gives, said to the user.
TUserWords UserWordsForReason(const std::string& words) {
    static const struct {
        const char* words;
        TUserWords said;
    } kReasons[] = {
        {"is a link",
         {"A link (a junction or symbolic link) stands in the Stirpello folder where the update utility writes, and "
          "it never writes through one.",
          "Please delete the Download folder inside the Stirpello folder, then run the update utility again.", true}},
        {"names (hard links)",
         {"A file the update utility writes has other names (hard links), so it was not overwritten.",
          "Please delete the Download folder inside the Stirpello folder, then run the update utility again.", true}},
        {"leads elsewhere",
         {"A folder the update utility writes to leads to another place (a link or a redirected folder).",
          "Please delete the Download folder inside the Stirpello folder, then run the update utility again.", true}},
        {"is a folder, not a file",
         {"A folder stands where the update utility writes a file.",
          "Please delete the Download folder inside the Stirpello folder, then run the update utility again.", true}},
        {"denied",
         {"Windows refused the update utility access to the Stirpello folder.",
          "Please close Stirpello, then start the update utility again by double-clicking it, and answer Yes if "
          "Windows asks for permission.",
          true}},
        {"sharing violation",
         {"Another program (often security software) had a file open that the update utility needed.",
          "Please close Stirpello and let your security software finish, then run the update utility again.", true}},
        {"being used by another process",
         {"Another program (often security software) had a file open that the update utility needed.",
          "Please close Stirpello and let your security software finish, then run the update utility again.", true}},
        {"disk is full",
         {"The disk is full.", "Please free some space on the disk, then run the update utility again.", true}},
        {"not enough space",
         {"The disk is full.", "Please free some space on the disk, then run the update utility again.", true}},
        {"timed out",
         {"The connection timed out.",
          "Please check the internet connection, then run the update utility again.", true}},
        {"could not be resolved",
         {"The Stirpello website's name could not be looked up.",
          "Please check the internet connection, then run the update utility again.", true}},
    };
    for (const auto& r : kReasons)
        if (words.find(r.words) != std::string::npos) return r.said;
    return {"", "", true};
}

std::string ReplyToUser(const TRunDiagnosis& d) {
    std::string r = "Thank you for the log.";
    const TFault* f = d.Faults.empty() ? nullptr : &d.Faults.front();
    if (d.Outcome == "cut") {
        const TUserWords cut = UserWordsFor(TUserCase::Cut);
        return r + " " + cut.Said + "\n" + cut.Ask;
    }
    if (d.Outcome == "launched" && !f) {
        r += " The update utility ran to the end and started the update module, which now brings Stirpello up to "
             "date. If Stirpello still does not update, please send us the new log.";
    } else if (d.Outcome == "launched") {
        r += " The update utility started the update module, which should now bring Stirpello up to date. It also "
             "ran into a problem on the way.\n" + f->Said;
        if (!f->Ask.empty()) {
            // "Please wait..." -> "If Stirpello does not update, please wait..."
            const bool conditional = f->Ask.compare(0, 7, "Please ") == 0 && f->AskIfNotUpdated;
            r += conditional ? " If Stirpello does not update, please " + f->Ask.substr(7) : " " + f->Ask;
        }
    } else if (f) {
        // What happened says that the run stopped, or was closed.
        r += "\n" + f->Said;
        if (!f->Ask.empty()) r += " " + f->Ask;
    } else {
        r += "\n" + std::string(kAgain);
    }
    if (d.Confidence != "high") {
        // One request for the log, not two.
        const bool asked = r.find("send us the new log") != std::string::npos;
        r += asked ? "\nPart of the log seems to be missing from what you sent, so please send the whole file then: "
                   : "\nIf that does not help, please send us the whole log: part of it seems to be missing from what "
                     "you sent. It is ";
        r += std::string(kWhereTheLog) + ".";
    }
    return r;
}
