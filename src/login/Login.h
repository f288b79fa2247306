// Log-in and log-out: the state switch and what it shows (the tray icon, the command menu).
#pragma once

#include "app/AppState.h"
#include "store/DateTimeText.h"

#include <QString>

namespace sirano {

// The two looks of the tray icon: a floppy disk from its label side and from its hub side.
enum class TrayLook { LoggedIn, LoggedOut };

// The command menu items that reach stored data: disabled while logged out.
enum class ProtectedItem { SiteSettings, Capture, PasswordSettings };

inline const QString kLogInCaption = QStringLiteral("ﾛｸﾞｲﾝ");
inline const QString kLogOutCaption = QStringLiteral("ﾛｸﾞｱｳﾄ");

// What log-in and log-out change besides the state; calls arrive in the order a user would see
// them.
class LoginView {
public:
    virtual ~LoginView() = default;
    virtual void setLogInOutCaption(const QString& caption) = 0;
    virtual void setTrayLook(TrayLook look) = 0;
    virtual void setProtectedItemEnabled(ProtectedItem item, bool enabled) = 0;
};

// Logged in from now: a repeated call starts the log-in time again.
void login(AppState& state, LoginView& view, const Clock& clock);
// The automatic log-out counts from now (a log-in does this too).
void restartLogoutCount(AppState& state, const Clock& clock);
// Logged out; the log-in time stays as it was.
void logout(AppState& state, LoginView& view);

// The automatic log-out is due: logged in, a setting above 0, and more clock-minute boundaries
// crossed since the log-in than the setting (10:00:59 to 10:01:00 counts one), so that a setting
// of N logs out between N and N + 1 minutes after the log-in. Counted on the time line, so a
// change of the clocks (daylight saving) neither brings it forward nor puts it off.
bool autoLogoutDue(const AppState& state, const QDateTime& now);

// What "ﾛｸﾞｲﾝ"/"ﾛｸﾞｱｳﾄ" does in the current state.
enum class LogInOutAction { Logout, Login, Prompt };
LogInOutAction logInOutAction(const AppState& state);

}  // namespace sirano
