#include "reports/XlsxReport.hpp"

#include <stdlib.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/PolishTime.hpp"
#include "common/ServerError.hpp"
#include "common/Win1250.hpp"

namespace serwer {

namespace {

// A private directory for the workbook, removed with everything in it.
class ScratchDirectory {
public:
    ScratchDirectory() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/serwer-xlsx-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            throw ServerError("Cannot create a directory for the workbook: " + std::string(std::strerror(errno)));
        path_ = pattern;
    }
    ~ScratchDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// A workbook that is closed (and freed) on every way out.
class Workbook {
public:
    Workbook(const std::string& path, const std::string& tmpdir) : tmpdir_(tmpdir) {
        lxw_workbook_options options{};
        options.tmpdir = tmpdir_.data();
        book_ = workbook_new_opt(path.c_str(), &options);
        if (!book_) throw ServerError("Cannot create the workbook " + path);
    }
    ~Workbook() {
        if (book_) workbook_close(book_);
    }
    Workbook(const Workbook&) = delete;
    Workbook& operator=(const Workbook&) = delete;
    lxw_workbook* Get() { return book_; }
    void Close() {
        const lxw_error error = workbook_close(book_);
        book_ = nullptr;
        if (error != LXW_NO_ERROR) throw ServerError(std::string("Cannot write the workbook: ") + lxw_strerror(error));
    }

private:
    std::string tmpdir_;
    lxw_workbook* book_ = nullptr;
};

lxw_datetime ExcelTime(std::int64_t utc) {
    const DateTime::Parts p = PolishWallTime(utc).Split();
    return lxw_datetime{p.year, p.month, p.day, p.hour, p.minute, static_cast<double>(p.second)};
}

// A sheet name Excel takes: at most 31 characters, none of []:*?/\.
std::string SheetName(const std::string& utf8) {
    std::string name;
    for (char c : utf8)
        if (!std::strchr("[]:*?/\\", c)) name += c;
    return name.empty() ? "Raport" : name;
}

}  // namespace

std::string ReportXlsx(const ReportTable& table) {
    ScratchDirectory scratch;
    const std::string path = scratch.Path() + "/raport.xlsx";
    {
        Workbook book(path, scratch.Path());
        lxw_workbook* wb = book.Get();
        const std::string title = Cp1250ToUtf8(table.title);
        lxw_worksheet* sheet = workbook_add_worksheet(wb, SheetName(title).c_str());
        if (!sheet) throw ServerError("Cannot add a sheet to the workbook");

        lxw_format* header = workbook_add_format(wb);
        format_set_bold(header);
        format_set_text_wrap(header);
        format_set_align(header, LXW_ALIGN_VERTICAL_TOP);
        format_set_bottom(header, LXW_BORDER_THIN);
        lxw_format* time = workbook_add_format(wb);
        format_set_num_format(time, "yyyy-mm-dd hh:mm");
        lxw_format* day = workbook_add_format(wb);
        format_set_num_format(day, "yyyy-mm-dd");
        lxw_format* duration = workbook_add_format(wb);
        format_set_num_format(duration, "[h]:mm");
        lxw_format* integer = workbook_add_format(wb);
        format_set_num_format(integer, "0");
        lxw_format* decimals[3];
        for (int d = 0; d < 3; ++d) {
            decimals[d] = workbook_add_format(wb);
            format_set_num_format(decimals[d], d == 0 ? "0" : d == 1 ? "0.0" : "0.00");
        }

        for (std::size_t c = 0; c < table.columns.size(); ++c) {
            const ReportColumn& column = table.columns[c];
            const auto col = static_cast<lxw_col_t>(c);
            worksheet_set_column(sheet, col, col, column.width + 2, nullptr);
            worksheet_write_string(sheet, 0, col, Cp1250ToUtf8(column.title).c_str(), header);
        }
        for (std::size_t r = 0; r < table.rows.size(); ++r) {
            const auto row = static_cast<lxw_row_t>(r + 1);
            for (std::size_t c = 0; c < table.columns.size(); ++c) {
                const ReportColumn& column = table.columns[c];
                const ReportCell& cell = table.rows[r][c];
                const auto col = static_cast<lxw_col_t>(c);
                if (const auto* text = std::get_if<std::string>(&cell)) {
                    if (!text->empty()) worksheet_write_string(sheet, row, col, Cp1250ToUtf8(*text).c_str(), nullptr);
                } else if (const auto* number = std::get_if<double>(&cell)) {
                    worksheet_write_number(sheet, row, col, *number, decimals[std::min(column.decimals, 2)]);
                } else if (const auto* value = std::get_if<std::int64_t>(&cell)) {
                    if (column.kind == CellKind::Time || column.kind == CellKind::Date) {
                        lxw_datetime when = ExcelTime(*value);
                        worksheet_write_datetime(sheet, row, col, &when, column.kind == CellKind::Time ? time : day);
                    } else if (column.kind == CellKind::Duration) {
                        worksheet_write_number(sheet, row, col, static_cast<double>(*value) / 86400.0, duration);
                    } else {
                        worksheet_write_number(sheet, row, col, static_cast<double>(*value), integer);
                    }
                }
            }
        }
        worksheet_freeze_panes(sheet, 1, 0);
        if (!table.columns.empty())
            worksheet_autofilter(sheet, 0, 0, static_cast<lxw_row_t>(table.rows.size()),
                                 static_cast<lxw_col_t>(table.columns.size() - 1));
        book.Close();
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    if (!in.good() && !in.eof()) throw ServerError("Cannot read the workbook " + path);
    return bytes;
}

}  // namespace serwer
