// The small pieces every window of SIRANO builds itself from: its font, controls placed in pixels
// at 96 dpi, password boxes masked with "*", and the report of a save that failed.
#pragma once

#include "app/AppActions.h"
#include "app/AppState.h"
#include "store/Error.h"
#include "ui/MessageBox.h"

#include <QFont>
#include <QRect>
#include <QSize>
#include <QString>
#include <exception>

class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QWidget;

namespace sirano {

// "ＭＳ Ｐゴシック" 9.75 pt; fontconfig falls back to a metric-compatible Japanese gothic.
QFont dialogFont();

// A fixed single border without minimise or maximise buttons.
inline constexpr Qt::WindowFlags kFixedDialogFlags = Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint |
                                                     Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                                     Qt::WindowCloseButtonHint;

// Gives a window its name, caption, font and fixed client size.
void setUpWindow(QWidget* window, const char* name, const QString& caption, QSize clientSize);

QLabel* addLabel(QWidget* parent, const char* name, const QString& text, QRect geometry);
QLineEdit* addLineEdit(QWidget* parent, const char* name, QRect geometry);
// Never a default button: Enter in a box must never press it.
QPushButton* addButton(QWidget* parent, const char* name, const QString& text, QRect geometry);

// For a window's keyPressEvent: Enter (either key) presses the focused push button, if one has
// the focus, and does nothing elsewhere. Returns whether the key was Enter, that is handled.
bool pressFocusedButtonOnEnter(QWidget* window, const QKeyEvent* event);

// The text with an invisible break opportunity (U+200B) after every 30 characters that have none:
// a message box wraps a long title without spaces instead of cutting it off at its edge.
QString breakable(const QString& text);

// Masked boxes show "*" (not the style's bullet); every such box keeps the input method off.
void setMasked(QLineEdit* box, bool masked);

// Runs actions.saveDataFile(). When it fails, tells the user which file could not be written and
// why; the state in memory stays as it is and the program goes on. Returns whether it saved.
bool saveDataFileOrReport(const AppState& state, AppActions& actions, MessageBox& messages,
                          QWidget* parent);
// The same report for a capture whose save failed: the captured sites were taken out again.
// failure holds a SiranoError (anything else goes on to the caller).
void reportCaptureNotSaved(const AppState& state, std::exception_ptr failure, MessageBox& messages);

}  // namespace sirano
