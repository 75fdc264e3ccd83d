// One sink for every alert the engines and the window raise, so that the
// window can show them modally and the command-line tool can print them.
#pragma once

#include <memory>
#include <string>

namespace quorvel {

enum class AlertStyle { warning, informational, critical };

class AlertSink {
public:
    virtual ~AlertSink() = default;
    // Returns once the user has acknowledged the alert (its one "OK").
    virtual void alert(const std::string& title, const std::string& text, AlertStyle style) = 0;
};

// Prints "title: text" on standard output; the default sink.
class PrintingAlertSink : public AlertSink {
public:
    void alert(const std::string& title, const std::string& text, AlertStyle style) override;
};

// Installs the process's sink and returns the previous one; nullptr restores
// the printing default.
std::shared_ptr<AlertSink> setAlertSink(std::shared_ptr<AlertSink> sink);
std::shared_ptr<AlertSink> alertSink();

}  // namespace quorvel
