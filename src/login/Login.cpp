#include "Login.h"

namespace sirano {

void login(AppState& state, LoginView& view, const Clock& clock) {
    state.loggedIn = true;
    view.setLogInOutCaption(kLogOutCaption);
    state.loginTime = dateTimeText(clock.now());
    view.setTrayLook(TrayLook::LoggedIn);
    view.setProtectedItemEnabled(ProtectedItem::Open, true);
    view.setProtectedItemEnabled(ProtectedItem::Memory, true);
    view.setProtectedItemEnabled(ProtectedItem::Password, true);
}

void logout(AppState& state, LoginView& view) {
    state.loggedIn = false;
    view.setLogInOutCaption(kLogInCaption);
    view.setTrayLook(TrayLook::LoggedOut);
    view.setProtectedItemEnabled(ProtectedItem::Open, false);
    view.setProtectedItemEnabled(ProtectedItem::Memory, false);
    view.setProtectedItemEnabled(ProtectedItem::Password, false);
}

LogInOutAction logInOutAction(const AppState& state) {
    if (state.loggedIn)
        return LogInOutAction::Logout;
    if (state.settings.masterPassword.isEmpty())
        return LogInOutAction::Login;
    return LogInOutAction::Prompt;
}

}  // namespace sirano
