// The texts whose calls are under way on the sending link, so that the
// clearing of each call is told of its own text, also with several calls in
// flight: the driver confirms connect requests in the order they were put,
// so each CONNECT_CONF belongs to the oldest send still unconfirmed and
// gives it its PLCI, and the DISCONNECT_IND's PLCI finds it again.
#pragma once

#include <QString>

#include <cstdint>
#include <deque>
#include <optional>

class CSentTexts
{
public:
    struct Text
    {
        QString number;
        QString text;
        // No text was sent after it: its "Verz: " line is the log's last.
        bool latest = false;
    };

    // The driver took a connect request.
    void Sent(const QString& number, const QString& text);
    // A CONNECT_CONF; one with an Info other than 0 placed no call, and its
    // text is given up.
    void Confirmed(uint16_t info, uint8_t plci);
    // A DISCONNECT_IND for `plci`: its text, if one is known.
    std::optional<Text> Cleared(uint8_t plci);
    // The link lost its driver, and its calls with it.
    void Clear() { m_entries.clear(); }

    int InFlight() const { return int(m_entries.size()); }

private:
    struct Entry
    {
        QString number;
        QString text;
        uint64_t sequence = 0;
        bool confirmed = false;
        uint8_t plci = 0;
    };
    // A driver that never answers must not make this grow for good.
    static constexpr size_t kMaxInFlight = 32;

    std::deque<Entry> m_entries; // oldest first
    uint64_t m_nextSequence = 0;
};
