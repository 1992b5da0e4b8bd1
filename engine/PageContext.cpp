#include "engine/PageContext.h"

#include "engine/TemplateCache.h"

namespace qm::engine {

void SetStatusMessage(PageContext& context, std::string_view text)
{
    PageSession* session = context.Session();
    (session != nullptr ? session->StatusMessage() : context.RequestStatusMessage()).Set(text);
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

} // namespace qm::engine
