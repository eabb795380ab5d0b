#include "dictation/AIFormatPreset.h"

namespace AIFormatPresets {

namespace {

struct Entry {
    const char16_t* raw;
    const char16_t* title;
    const char16_t* shortLabel;
    const char16_t* icon;
    const char16_t* prompt;
};

const Entry& entry(AIFormatPreset preset) {
    static const Entry entries[] = {
        {u"clean", u"Clean", u"Clean", u"\u2728",
         u"Clean up this dictated text. Remove filler words, fix punctuation and casing, preserve the "
         u"original "
         u"language, meaning, and tone. Return only the final text."},
        {u"email", u"Email", u"Email", u"\u2709\uFE0F",
         u"Transform this dictated text into a polished email body. Preserve the original language. Format "
         u"it as "
         u"an actual email, not as a chat message or one paragraph. Put the greeting on its own first line, "
         u"then a "
         u"blank line, then clear body paragraphs, then a blank line, then a concise closing when "
         u"appropriate. If a "
         u"recipient name or greeting is dictated, preserve it. If a closing such as obrigado, thanks, "
         u"regards, or "
         u"similar is dictated, preserve it as the final line. Return only the email body with line breaks."},
        {u"subject", u"Subject", u"Subj", u"#",
         u"Generate one concise email subject line from this dictated text. Preserve the original language "
         u"when "
         u"possible. Do not use quotes or labels. Return only the subject."},
        {u"list", u"List", u"List", u"\u2713",
         u"Convert this dictated text into a clean list or checklist. Preserve the original language. Use "
         u"one item "
         u"per line and keep each item concise. Return only the list."},
        {u"message", u"Message", u"Msg", u"\U0001F4AC",
         u"Rewrite this dictated text as a natural chat message. Preserve the original language and intent. "
         u"Keep "
         u"it clear, concise, and conversational. Return only the message."},
        {u"prompt", u"Ask", u"Ask", u"?",
         u"Treat this dictated text as an instruction from the user, not as text to clean up. Follow the "
         u"instruction and generate the requested final content. Respect any requested language, format, "
         u"tone, "
         u"audience, or medium. If the user asks to write an email, message, list, note, reply, or any other "
         u"text, "
         u"produce that text directly. Do not explain what you are doing. Return only the final content."},
        {u"formal", u"Formal", u"Pro", u"\u25C6",
         u"Rewrite this dictated text in a polished professional tone. Preserve the original language and "
         u"meaning. "
         u"Make it clear, respectful, and ready to send. Return only the final text."},
        {u"summary", u"Summary", u"Sum", u"\u2261",
         u"Summarize this dictated text into concise, useful notes. Preserve the original language. Keep the "
         u"main "
         u"points and remove repetition. Return only the summary."},
    };
    return entries[static_cast<int>(preset)];
}

QString text(const char16_t* s) {
    return QString::fromUtf16(s);
}

} // namespace

QString rawValue(AIFormatPreset preset) {
    return text(entry(preset).raw);
}

std::optional<AIFormatPreset> fromRawValue(const QString& raw) {
    for (AIFormatPreset preset : allCases)
        if (rawValue(preset) == raw)
            return preset;
    return std::nullopt;
}

QString title(AIFormatPreset preset) {
    return text(entry(preset).title);
}
QString shortLabel(AIFormatPreset preset) {
    return text(entry(preset).shortLabel);
}
QString icon(AIFormatPreset preset) {
    return text(entry(preset).icon);
}
QString menuTitle(AIFormatPreset preset) {
    return icon(preset) + QLatin1Char(' ') + title(preset);
}
QString prompt(AIFormatPreset preset) {
    return text(entry(preset).prompt);
}

} // namespace AIFormatPresets
