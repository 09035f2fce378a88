#include "summary/summary.hpp"

namespace vora {

namespace summary_detail {

void add_key_row(TableForm& form, std::string_view key, std::string_view default_text, std::string_view description) {
    form.add_row({{key, "", default_text, "Yes", description}, {key, "", default_text, "No", description}});
}

void draw_framed(Sink& out, std::string_view section_name, FormCells& cells) {
    cells.drawn_size();
    out.put("[");
    out.put(section_name);
    out.put("]\n");
    cells.draw(out);
    out.put("\n\n");
}

}  // namespace summary_detail

void draw_configuration_summary(const Configuration& configuration, Sink& out) {
    // Kept between calls so that its buffers are allocated once per thread,
    // unless a long value made them large.
    constexpr std::size_t kKeptStore = 1 << 20;
    thread_local FormCells kept;
    FormCells& cells = kept;
    out.put("\n[Configuration Summary]\n\n");
    // The buffers are let go on the way out when a drawing stops half-way or
    // grew them large (a destructor, not a catch-all: the drawing may be on
    // a thread that the C library ends, whose unwind must pass untouched).
    struct Keep {
        FormCells& cells;
        bool done = false;
        ~Keep() {
            if (!done || cells.held() > kKeptStore) cells = FormCells();
        }
    } keep{cells};
    for_each_section(configuration, [&](std::string_view key, const auto& record) {
        summary_detail::lay_out_section(cells, record);
        summary_detail::draw_framed(out, key, cells);
    });
    keep.done = true;
}

}  // namespace vora
