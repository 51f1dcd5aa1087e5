#include "SentTexts.h"

#include <algorithm>

void CSentTexts::Sent(const QString& number, const QString& text)
{
    if (m_entries.size() >= kMaxInFlight)
        m_entries.pop_front();
    m_entries.push_back({number, text, m_nextSequence++, false, 0});
}

void CSentTexts::Confirmed(uint16_t info, uint8_t plci)
{
    const auto waiting = std::find_if(m_entries.begin(), m_entries.end(), [](const Entry& e) { return !e.confirmed; });
    if (waiting == m_entries.end())
        return; // a confirmation of a request this window did not put
    if (info != 0 || plci == 0) {
        m_entries.erase(waiting);
        return;
    }
    // A call whose clearing never came cannot hold the PLCI the driver has
    // given again.
    const auto stale = std::find_if(m_entries.begin(), m_entries.end(),
                                    [plci](const Entry& e) { return e.confirmed && e.plci == plci; });
    if (stale != m_entries.end() && stale != waiting)
        m_entries.erase(stale);
    const auto again = std::find_if(m_entries.begin(), m_entries.end(), [](const Entry& e) { return !e.confirmed; });
    again->confirmed = true;
    again->plci = plci;
}

std::optional<CSentTexts::Text> CSentTexts::Cleared(uint8_t plci)
{
    const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                 [plci](const Entry& e) { return e.confirmed && e.plci == plci; });
    if (it == m_entries.end() || plci == 0)
        return std::nullopt;
    const Text text{it->number, it->text, it->sequence + 1 == m_nextSequence};
    m_entries.erase(it);
    return text;
}
