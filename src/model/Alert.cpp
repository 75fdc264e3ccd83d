#include "model/Alert.h"

#include <cstdio>

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
    std::string line = title + ": " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::shared_ptr<AlertSink> setAlertSink(std::shared_ptr<AlertSink> sink) { return seam().replace(std::move(sink)); }

std::shared_ptr<AlertSink> alertSink() { return seam().get(); }

}  // namespace quorvel
