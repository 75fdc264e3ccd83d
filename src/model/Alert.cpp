#include "model/Alert.h"

#include "model/Log.h"
#include "model/Replaceable.h"

namespace quorvel {

namespace {
Replaceable<std::shared_ptr<AlertSink>>& seam() {
    static Replaceable<std::shared_ptr<AlertSink>> s(
        []() -> std::shared_ptr<AlertSink> { return std::make_shared<PrintingAlertSink>(); });
    return s;
}
}  // namespace

void PrintingAlertSink::alert(const std::string& title, const std::string& text, AlertStyle) {
    writeLine(title + ": " + text);
}

std::shared_ptr<AlertSink> setAlertSink(std::shared_ptr<AlertSink> sink) { return seam().replace(std::move(sink)); }

std::shared_ptr<AlertSink> alertSink() { return seam().get(); }

}  // namespace quorvel
