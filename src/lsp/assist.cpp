#include "lsp/assist.hpp"

namespace vora::lsp {

std::optional<Hover> hover_at(std::string_view, std::size_t, const CheckSettings&) { return std::nullopt; }

std::vector<Completion> complete_at(std::string_view, std::size_t, const CheckSettings&) { return {}; }

}  // namespace vora::lsp
