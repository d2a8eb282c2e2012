// How the programmer talks to its user: message dialogs, the plain message box of the file
// operations, and the log. The window shows them; halyard-cli prints them; tests record them.
#pragma once

#include <string>

namespace halyard {

enum class DialogIcon { Error, Information };

// Dialog buttons, as a set of bits; the dialog shows them in this order.
enum DialogButton : unsigned {
    mbYes = 1u << 0,
    mbNo = 1u << 1,
    mbOK = 1u << 2,
    mbCancel = 1u << 3,
    mbAbort = 1u << 4,
    mbRetry = 1u << 5,
    mbIgnore = 1u << 6,
    mbAll = 1u << 7,
    mbNoToAll = 1u << 8,
    mbYesToAll = 1u << 9,
};
inline constexpr int kDialogButtonCount = 10;

struct DialogRequest {
    std::string text;
    std::string caption;
    DialogIcon icon = DialogIcon::Error;
    unsigned buttons = mbOK;
    int focusIndex = 0;      // which shown button, counted from the first, has the focus
    bool autoClose = false;  // closed as if "&OK" was pressed after one second
};

class IUserDialogs {
  public:
    virtual ~IUserDialogs() = default;
    // Shows a message dialog and returns the button pressed.
    virtual DialogButton ShowMessage(const DialogRequest& request) = 0;
    // A plain message box: only the text and an OK button.
    virtual void ShowPlainMessage(const std::string& text) = 0;
    // Adds one entry to the log; the receiver stamps it with the time (TimestampedLogLine).
    virtual void AddLogLine(const std::string& text) = 0;
    // Ends the program once the current operation has returned.
    virtual void CloseProgram() = 0;
};

// An error: caption "ERROR", error icon, one "&OK" button.
void ShowError(IUserDialogs& dialogs, const std::string& text);
// A note: caption "NOTE", information icon, one "&OK" button.
void ShowNote(IUserDialogs& dialogs, const std::string& text, bool autoClose = false);

// The caption of a dialog button ("&Yes", "No To All", ...).
const char* DialogButtonCaption(DialogButton button);

// "<hh:mm:ss.cc>| text".
std::string FormatLogLine(int hour, int minute, int second, int hundredths,
                          const std::string& text);
// FormatLogLine with the local time now.
std::string TimestampedLogLine(const std::string& text);

}  // namespace halyard
