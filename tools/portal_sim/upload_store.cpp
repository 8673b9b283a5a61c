#include "tools/portal_sim/upload_store.h"

#include <fstream>
#include <system_error>

#include "base/error.h"

namespace pmr::portal_sim {
namespace {

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace


std::optional<std::string> DecodeBase64Strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4; ++j) {
      const bool padding = last && j >= 4 - pad;
      const int v = padding ? 0 : Base64Value(static_cast<unsigned char>(text[i + j]));
      if (v < 0) return std::nullopt;
      group = (group << 6) | static_cast<std::uint32_t>(v);
    }
    out += static_cast<char>((group >> 16) & 0xFF);
    if (!last || pad < 2) out += static_cast<char>((group >> 8) & 0xFF);
    if (!last || pad < 1) out += static_cast<char>(group & 0xFF);
  }
  return out;
}

std::string FileNamePart(std::string_view pid) {
  std::string out(pid);
  for (char& c : out) {
    const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '-' || c == '_';
    if (!keep) c = '_';
  }
  return out;
}

UploadStore::UploadStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

UploadRecord UploadStore::Add(std::string_view pid, std::string_view taketime,
                              std::string_view picture) {
  UploadRecord record;
  record.pid = pid;
  record.taketime = taketime;
  record.bytes = picture.size();
  record.hash = Fnv1a64(picture);

  // The number and the file go together: a failed write must not leave a gap or a stray file.
  MutexLock lock(mutex_);
  record.number = next_number_;
  if (!folder_.empty()) {
    record.file_name = std::to_string(record.number) + "_" + FileNamePart(pid) + ".jpg";
    const std::filesystem::path target = folder_ / record.file_name;
    std::filesystem::path temp = target;
    temp += ".tmp";
    {
      std::ofstream out(temp, std::ios::binary | std::ios::trunc);
      out.write(picture.data(), static_cast<std::streamsize>(picture.size()));
      out.close();
      if (!out) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        throw pmr::Error("cannot write " + temp.string());
      }
    }
    std::error_code ec;
    std::filesystem::rename(temp, target, ec);
    if (ec) {
      std::filesystem::remove(temp, ec);
      throw pmr::Error("cannot store " + target.string());
    }
  }
  ++next_number_;
  records_.push_back(record);
  return record;
}

std::vector<UploadRecord> UploadStore::Records() const {
  MutexLock lock(mutex_);
  return records_;
}

std::map<std::string, std::size_t> UploadStore::CountsByPid() const {
  MutexLock lock(mutex_);
  std::map<std::string, std::size_t> counts;
  for (const UploadRecord& r : records_) ++counts[r.pid];
  return counts;
}

std::size_t UploadStore::Count() const {
  MutexLock lock(mutex_);
  return records_.size();
}

std::size_t UploadStore::FilesInFolder() const {
  if (folder_.empty()) return 0;
  std::vector<std::string> names;
  {
    MutexLock lock(mutex_);
    for (const UploadRecord& r : records_) names.push_back(r.file_name);
  }
  std::size_t present = 0;
  for (const std::string& name : names) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(folder_ / name, ec)) ++present;
  }
  return present;
}

}  // namespace pmr::portal_sim
