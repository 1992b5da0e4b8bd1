// The page provider of the web administration: the variables, blocks and conditions of its seven pages.
#pragma once

#include "admincgi/AdminContext.h"
#include "admincgi/AdminTemplate.h"
#include "admincgi/FileEditor.h"

#include <string>

namespace qm::admincgi {

class AdminPageProvider final : public TemplateProvider {
public:
    AdminPageProvider(AdminContext& context, std::string templateDir);

    void Variable(const std::string& name) override;
    void ForEach(const std::string& name, std::string_view body) override;
    bool If(const std::string& condition) override;

private:
    bool CommonVariable(const std::string& name);
    void SessionVariable(const std::string& name);
    void UserVariable(const std::string& name);
    void FileListVariable(const std::string& name);
    void PrevNextLinks();
    void LangSelect();
    void LoadUserList();
    std::string Link() const;
    std::string UserFullName() const;

    AdminContext& m_context;
    FileListReader m_fileList;
};

/// The users of one page from the sorted listing of userDir: names from index first, at most perPage of them;
/// more tells whether a further user follows.
struct UserPage {
    std::vector<std::string> Names;
    bool More = false;
};

UserPage PageOfUsers(const std::vector<std::string>& sortedNames, int first, int perPage);

} // namespace qm::admincgi
