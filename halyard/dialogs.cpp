#include "dialogs.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace halyard {

void ShowError(IUserDialogs& dialogs, const std::string& text) {
    dialogs.ShowMessage({text, "ERROR", DialogIcon::Error, mbOK, 0, false});
}

void ShowNote(IUserDialogs& dialogs, const std::string& text, bool autoClose) {
    dialogs.ShowMessage({text, "NOTE", DialogIcon::Information, mbOK, 0, autoClose});
}

const char* DialogButtonCaption(DialogButton button) {
    switch (button) {
        case mbYes:
            return "&Yes";
        case mbNo:
            return "&No";
        case mbOK:
            return "&OK";
        case mbCancel:
            return "&Cancel";
        case mbAbort:
            return "&Abort";
        case mbRetry:
            return "&Retry";
        case mbIgnore:
            return "&Ignore";
        case mbAll:
            return "All";
        case mbNoToAll:
            return "No To All";
        case mbYesToAll:
            return "Yes To All";
    }
    return "";
}

std::string FormatLogLine(int hour, int minute, int second, int hundredths,
                          const std::string& text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "<%02d:%02d:%02d.%02d>| ", hour, minute, second, hundredths);
    return stamp + text;
}

std::string TimestampedLogLine(const std::string& text) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto sinceSecond = now - std::chrono::system_clock::from_time_t(seconds);
    const int hundredths = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(sinceSecond).count() / 10);
    std::tm local{};
    localtime_r(&seconds, &local);
    return FormatLogLine(local.tm_hour, local.tm_min, local.tm_sec, hundredths % 100, text);
}

}  // namespace halyard
