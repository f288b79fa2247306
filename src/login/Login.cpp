#include "Login.h"

#include "store/Error.h"

namespace sirano {

void login(AppState& state, LoginView& view, const Clock& clock) {
    state.loggedIn = true;
    view.setLogInOutCaption(kLogOutCaption);
    restartLogoutCount(state, clock);
    view.setTrayLook(TrayLook::LoggedIn);
    view.setProtectedItemEnabled(ProtectedItem::SiteSettings, true);
    view.setProtectedItemEnabled(ProtectedItem::Capture, true);
    view.setProtectedItemEnabled(ProtectedItem::PasswordSettings, true);
}

void restartLogoutCount(AppState& state, const Clock& clock) {
    // An instant, not a wall-clock reading: 02:30 on the night the clocks go back happens twice.
    state.loginTime = clock.now().toUTC();
}

void logout(AppState& state, LoginView& view) {
    state.loggedIn = false;
    view.setLogInOutCaption(kLogInCaption);
    view.setTrayLook(TrayLook::LoggedOut);
    view.setProtectedItemEnabled(ProtectedItem::SiteSettings, false);
    view.setProtectedItemEnabled(ProtectedItem::Capture, false);
    view.setProtectedItemEnabled(ProtectedItem::PasswordSettings, false);
}

namespace {

// Counted on the real time line, so a daylight-saving change neither adds nor removes an hour.
qint64 minuteBoundaries(const QDateTime& from, const QDateTime& to) {
    const auto minuteOf = [](const QDateTime& t) {
        const qint64 s = t.toSecsSinceEpoch();
        return s >= 0 ? s / 60 : -((-s + 59) / 60);
    };
    return minuteOf(to) - minuteOf(from);
}

}  // namespace

bool autoLogoutDue(const AppState& state, const QDateTime& now) {
    const int16_t minutes = state.settings.autoLogoutMinutes;
    if (!state.loggedIn || minutes <= 0)
        return false;
    return minuteBoundaries(state.loginTime, now) > minutes;
}

LogInOutAction logInOutAction(const AppState& state) {
    if (state.loggedIn)
        return LogInOutAction::Logout;
    // An encrypted file's password is in the file: it is asked to read it.
    if (state.settings.masterPassword.isEmpty() && !state.dataFileEncrypted)
        return LogInOutAction::Login;
    return LogInOutAction::Prompt;
}

}  // namespace sirano
