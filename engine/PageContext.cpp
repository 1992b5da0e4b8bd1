#include "engine/PageContext.h"

#include "engine/LanguagesFile.h"
#include "engine/TemplateCache.h"

namespace qm::engine {

void SetStatusMessage(PageContext& context, std::string_view text, MessageTone tone)
{
    PageSession* session = context.Session();
    (session != nullptr ? session->StatusMessage() : context.RequestStatusMessage()).Set(text, tone);
}

void SetErrorMessage(PageContext& context, std::string_view text)
{
    PageSession* session = context.Session();
    (session != nullptr ? session->ErrorMessage() : context.RequestErrorMessage()).Set(text);
}

const char* LanguageText(PageContext& context, int number)
{
    return context.Templates().LanguageText(number, context.Language()).c_str();
}

void TellStatus(PageContext& context, int number, std::initializer_list<std::string_view> args)
{
    const char* text = LanguageText(context, number);
    if (*text != '\0') {
        SetStatusMessage(context, FormatLanguageMessage(text, args));
    }
}

void TellRefusal(PageContext& context, int number, std::initializer_list<std::string_view> args)
{
    const char* text = LanguageText(context, number);
    if (*text != '\0') {
        SetStatusMessage(context, FormatLanguageMessage(text, args), MessageTone::Refusal);
    }
}

bool StatusIsRefusal(PageContext& context)
{
    PageSession* session = context.Session();
    const MessageSlot* slot = session != nullptr && session->StatusMessage().IsSet() ? &session->StatusMessage()
                                                                                     : &context.RequestStatusMessage();
    return slot->IsSet() && slot->Tone() == MessageTone::Refusal;
}

void TellError(PageContext& context, int number, std::initializer_list<std::string_view> args)
{
    const char* text = LanguageText(context, number);
    if (*text != '\0') {
        SetErrorMessage(context, FormatLanguageMessage(text, args));
    }
}

} // namespace qm::engine
