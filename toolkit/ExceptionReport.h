#pragma once
// The exception report and the guard at every event binding.
//
// Event handlers raise Exception (or any std::exception) to end themselves. The
// guard catches it where Qt would call the handler, hands its message to the
// exception report and returns normally, so no exception ever travels through
// Qt's own code and the program goes on. Nothing the handler changed before the
// throw is rolled back. All functions here are for the main thread.

#include <concepts>
#include <functional>
#include <string>
#include <utility>

using TExceptionReporter = std::function<void(const std::string& message)>;
using TMessageBoxShower = std::function<void(const std::string& text, const std::string& title)>;

// Shows the message: by default a modal message box with the critical icon and
// an OK button (the application's title as caption); a test reporter records it.
void ReportException(const std::string& message);

// Replaces the exception report; an empty function restores the modal box.
// Returns the reporter that was in place.
TExceptionReporter SetExceptionReporter(TExceptionReporter reporter);

// The window's own modal message box: stop icon, the text, the title, an OK
// button. Returns when the user has closed it.
void ShowMessageBox(const std::string& text, const std::string& title);

// Replaces ShowMessageBox's box; an empty function restores it. Returns the previous one.
TMessageBoxShower SetMessageBoxShower(TMessageBoxShower shower);

// Runs fn; an exception it raises is reported and goes no further.
void RunGuarded(const std::function<void()>& fn);

namespace toolkit_detail {
void ReportCurrentException() noexcept;
}

// Wraps a handler for QObject::connect (or any caller that must not see an
// exception): the returned callable accepts whatever arguments f accepts, so
// Qt can also drop trailing signal arguments that f does not take.
//
//   connect(button, &QPushButton::clicked, this, Guarded([this] { BitBtn1Click(this); }));
template <class F> auto Guarded(F f) {
    return [f = std::move(f)]<class... Args>(
               Args && ... args) mutable -> void requires std::invocable<F&, Args&&...> {
        try {
            std::invoke(f, std::forward<Args>(args)...);
        } catch (...) {
            toolkit_detail::ReportCurrentException();
        }
    };
}

// Calls an event (a std::function member that may be empty) through the guard.
template <class Event, class... Args> void FireEvent(const Event& event, Args&&... args) {
    if (!event) return;
    try {
        event(std::forward<Args>(args)...);
    } catch (...) {
        toolkit_detail::ReportCurrentException();
    }
}
