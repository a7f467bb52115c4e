// The common report of both checks: the outcome, the broken and held
// files by symbol, the yes/no clean-up, and what the module adds to it
// (content findings, files broken by a crashing reader, files nobody could
// judge).
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "h5/journal.hpp"
#include "tessal_plus/bundle/checks/internal.hpp"
#include "tessal_plus/bundle/constants.hpp"
#include "util/files.hpp"
#include "util/progress.hpp"

namespace tessal_plus::bundle {
namespace fs = std::filesystem;

namespace {

// Decodes one UTF-8 sequence at s[i]; returns -1 for an invalid byte.
long decode_utf8(const std::string& s, std::size_t& i) {
  const auto b = static_cast<unsigned char>(s[i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) {
    ++i;
    return -1;
  }
  long cp = len == 1 ? b : b & (0x7f >> len);
  for (int k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((c >> 6) != 2) {
      ++i;
      return -1;
    }
    cp = (cp << 6) | (c & 0x3f);
  }
  i += static_cast<std::size_t>(len);
  return cp;
}

bool printable(long cp) {
  if (cp < 0x20 || (cp >= 0x7f && cp <= 0xa0) || cp == 0xad) return false;
  if ((cp >= 0x200b && cp <= 0x200f) || (cp >= 0x2028 && cp <= 0x202e) || (cp >= 0x2060 && cp <= 0x2064) || cp == 0xfeff)
    return false;
  return !(cp >= 0xd800 && cp <= 0xdfff);
}

// A text quoted the way Python's repr() quotes a str: single quotes unless
// the text holds a single quote and no double quote; backslashes, quotes and
// non-printable characters escaped; undecodable bytes as \udcXX.
std::string python_repr(const std::string& s) {
  const bool has_single = s.find('\'') != std::string::npos, has_double = s.find('"') != std::string::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  std::string out(1, quote);
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t at = i;
    const long cp = decode_utf8(s, i);
    if (cp < 0) out += fmt::format("\\udc{:02x}", static_cast<unsigned char>(s[at]));
    else if (cp == quote || cp == '\\') out += '\\', out += static_cast<char>(cp);
    else if (cp == '\n') out += "\\n";
    else if (cp == '\r') out += "\\r";
    else if (cp == '\t') out += "\\t";
    else if (!printable(cp)) out += cp <= 0xff ? fmt::format("\\x{:02x}", cp) : cp <= 0xffff ? fmt::format("\\u{:04x}", cp) : fmt::format("\\U{:08x}", cp);
    else out.append(s, at, i - at);
  }
  return out + quote;
}

std::string symbol_list(const std::vector<std::string>& paths) {
  std::string out = "[";
  for (std::size_t i = 0; i < paths.size(); ++i) {
    const std::string name = fs::path(paths[i]).filename().string();
    const auto cut = name.find(".h5");
    out += (i ? ", " : "") + python_repr(cut == std::string::npos ? name : name.substr(0, cut));
  }
  return out + "]";
}

}  // namespace

namespace checking {

bool print_check_summary(const Console& console, const std::vector<std::string>& error_file_path_list,
                         const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency) {
  const std::size_t len_err = error_file_path_list.size();
  const std::size_t len_blocking_or_permission_error = blocking_or_permision_error.size();
  if (len_err == 0 && len_blocking_or_permission_error == 0) {
    console.line("\n检测完成：" + frequency + "数据质量良好！");
    return false;
  }
  console.line(fmt::format("\n检测完成：共有{}个标的{}数据存在异常，{}个文件被其他进程占用或没有权限。", len_err, frequency,
                           len_blocking_or_permission_error));
  if (len_err > 0) console.line("数据异常标的如下:\n" + symbol_list(error_file_path_list) + "\n");
  if (len_blocking_or_permission_error > 0)
    console.line("被其他进程占用或没有权限的文件如下:\n" + symbol_list(blocking_or_permision_error) + "\n");
  return true;
}

void print_closing_line(const Console& console, const std::string& frequency, std::size_t with_findings, std::size_t unchecked,
                        bool healing) {
  if (with_findings == 0 && unchecked == 0) {
    console.line("\n检测完成：" + frequency + "数据质量良好！");
    return;
  }
  // Nothing broken, but "good" would hide what the lines above report.
  std::string line = "\n检测完成：" + frequency + "数据未发现异常文件";
  if (with_findings > 0) line += fmt::format("，{}个文件有内容问题（见上）{}", with_findings, healing ? "" : "，均已保留");
  if (unchecked > 0) line += fmt::format("，{}个文件未能检测（见上）", unchecked);
  console.line(line + "。");
}

std::string finding_text(const Finding& f) {
  if (!f.field.empty()) return fmt::format("{} x{} (first {}, {})", rule_name(f.rule), f.count, f.first, f.field);
  return fmt::format("{} x{} (first {})", rule_name(f.rule), f.count, f.first);
}

void print_findings(const Console& console, const std::map<std::string, std::vector<Finding>>& findings) {
  if (findings.empty()) return;
  console.line(fmt::format("\ncontent findings in {} files (reported, never deleted):", findings.size()));
  for (const auto& [path, found] : findings) {
    std::string line = "  " + id_of_file(path) + ":";
    for (const auto& f : found) line += " " + finding_text(f);
    console.line(line);
  }
}

void print_unjudged(const Console& console, const std::map<std::string, std::string>& crashed,
                    const std::vector<std::string>& unchecked) {
  if (!crashed.empty()) {
    console.line(fmt::format("\n{} files broke their reader (listed as broken below):", crashed.size()));
    for (const auto& [path, why] : crashed) console.line("  " + id_of_file(path) + ": " + why);
  }
  if (!unchecked.empty())
    console.line(fmt::format("\n{} files were not checked: their checking process was killed twice; nothing was judged "
                             "or deleted, check them again:\n{}",
                             unchecked.size(), symbol_list(unchecked)));
}

}  // namespace checking

CheckRecord deal_with_check_result(const Run& run, const std::vector<std::string>& error_file_path_list,
                                   const std::vector<std::string>& blocking_or_permision_error, const std::string& frequency) {
  CheckRecord record{frequency, {}, error_file_path_list, blocking_or_permision_error, {}, std::nullopt, 0};
  const std::size_t len_err = error_file_path_list.size();
  if (!checking::print_check_summary(run.console, error_file_path_list, blocking_or_permision_error, frequency)) return record;
  run.console.prompt("是否删除异常数据(yes/no):");
  std::string is_ok = run.console.read_answer();
  record.answer = is_ok;
  std::transform(is_ok.begin(), is_ok.end(), is_ok.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (is_ok == "yes" || is_ok == "y") {
    run.console.line("\n准备删除异常数据！");
    std::vector<std::string> left_alone;
    {
      util::ProgressBar bar(static_cast<std::int64_t>(len_err));
      for (const auto& p : error_file_path_list) {
        // Only a store file is deleted: a FIFO, a device, a socket, a folder
        // or a link at a store's name is someone's on purpose, and is
        // reported instead. A name that is gone fails as before.
        struct stat st {};
        if (::lstat(p.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
          left_alone.push_back(fmt::format("{}: not a store file ({}); left alone", p, util::file_type_text(st.st_mode)));
        } else {
          // With its journal, and never under a process that holds it.
          h5::remove_file(p, false);
          ++record.deleted;
        }
        bar.advance();
      }
    }
    for (const auto& line : left_alone) run.console.line(line);
    // The count of files deleted: all of them unless some were left alone.
    run.console.line(fmt::format("\n删除完成！共删除{}个标的。", record.deleted));
  } else if (is_ok == "no" || is_ok == "n") {
    run.console.line("\n异常数据未删除！");
  } else {
    run.console.line("\n输入异常！异常数据未删除!");
  }
  return record;
}

}  // namespace tessal_plus::bundle
