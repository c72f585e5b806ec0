// The log pane: the dialog's read-only multi-line edit control, where every message is
// appended at the end. It keeps itself from filling up by cutting the oldest 8192
// characters whenever it holds more than 10240.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "log/log.h"

class CEdit;

// Trims the pane if it holds more than 10240 characters, then appends `text` at its end
// and scrolls it into view. Call on the pane's own thread.
void AppendToLogPane(HWND pane, const std::string& text);

// The log sink of the window. Messages from other threads are handed to the window's
// thread and appended there, so the pane is only ever changed on that thread and the
// steps of two messages never interleave. A message for a pane that is gone is dropped
// at once.
class LogPane final : public k7::LogSink {
public:
    // Create on the window's thread. `before_relay`, when given, is called on the logging
    // thread before a message from another thread is handed over.
    explicit LogPane(const CEdit& pane, void (*before_relay)(std::string_view) = nullptr);
    ~LogPane() override;
    LogPane(const LogPane&) = delete;
    LogPane& operator=(const LogPane&) = delete;

    void Append(std::string_view text) override;

private:
    static LRESULT CALLBACK RelayProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

    HWND pane_;
    HWND relay_;  // a message-only window on the pane's thread
    void (*before_relay_)(std::string_view);
    DWORD pane_thread_;
};
