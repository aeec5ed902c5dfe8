#include "recordings/ExportZip.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <openssl/evp.h>
#include <zip.h>

#include "base/TextHelpers.h"
#include "recordings/RecTime.h"

namespace recordings {

namespace {

std::string errnoText() { return std::strerror(errno); }

// One picture's bytes in the spool file, as libzip reads them.
struct SpoolEntry {
  int fd;
  uint64_t offset, length, done;
  time_t mtime;
};

zip_int64_t spoolSource(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
  SpoolEntry* e = static_cast<SpoolEntry*>(state);
  switch (cmd) {
    case ZIP_SOURCE_OPEN:
      e->done = 0;
      return 0;
    case ZIP_SOURCE_READ: {
      const uint64_t left = e->length - e->done;
      const size_t n = size_t(len < left ? len : left);
      if (n == 0) return 0;
      const ssize_t r = pread(e->fd, data, n, off_t(e->offset + e->done));
      if (r <= 0) return -1;
      e->done += uint64_t(r);
      return r;
    }
    case ZIP_SOURCE_CLOSE:
      return 0;
    case ZIP_SOURCE_STAT: {
      zip_stat_t* st = static_cast<zip_stat_t*>(data);
      zip_stat_init(st);
      st->size = e->length;
      st->mtime = e->mtime;
      st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
      return sizeof(*st);
    }
    case ZIP_SOURCE_ERROR:
      return 2 * sizeof(int);
    case ZIP_SOURCE_FREE:
      delete e;
      return 0;
    case ZIP_SOURCE_SUPPORTS:
      return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE,
                                            ZIP_SOURCE_STAT, ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
    default:
      return -1;
  }
}

std::string sha256Hex(const uint8_t* data, size_t n) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int mdLen = 0;
  EVP_Digest(data, n, md, &mdLen, EVP_sha256(), nullptr);
  return hex_lower(md, mdLen);
}

bool fail(const std::string& why, std::string* error) {
  *error = why;
  return false;
}

}  // namespace

ExportZip::~ExportZip() {
  if (m_za) zip_discard(m_za);
  if (m_spool >= 0) close(m_spool);
}

bool ExportZip::open(const std::string& path, std::string* error) {
  std::string spoolName = path + ".spool-XXXXXX";
  std::vector<char> name(spoolName.begin(), spoolName.end());
  name.push_back('\0');
  m_spool = mkstemp(name.data());
  if (m_spool < 0) return fail("Unable to create " + spoolName + " (" + errnoText() + ")", error);
  unlink(name.data());
  int code = 0;
  m_za = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &code);
  if (!m_za) {
    zip_error_t ze;
    zip_error_init_with_code(&ze, code);
    const std::string why = zip_error_strerror(&ze);
    zip_error_fini(&ze);
    return fail("Unable to create " + path + " (" + why + ")", error);
  }
  return true;
}

bool ExportZip::add(const Picture& pic, std::string* error) {
  std::string name = rectime::fileLocal(pic.us, true);
  if (name == m_lastName) name += "-" + std::to_string(++m_repeat);
  else m_repeat = 0, m_lastName = name;
  name += ".jpg";
  size_t done = 0;
  while (done < pic.size) {
    const ssize_t n = pwrite(m_spool, pic.data + done, pic.size - done, off_t(m_spoolLen + done));
    if (n <= 0) return fail("Unable to write the export's spool file (" + errnoText() + ")", error);
    done += size_t(n);
  }
  m_sums += sha256Hex(pic.data, pic.size) + "  " + name + "\n";
  SpoolEntry* e = new SpoolEntry{m_spool, m_spoolLen, pic.size, 0, time_t(pic.us / 1000000)};
  m_spoolLen += pic.size;
  zip_source_t* src = zip_source_function(m_za, spoolSource, e);
  if (!src) {
    delete e;
    return fail(std::string("libzip: ") + zip_strerror(m_za), error);
  }
  return addSource(name, src, time_t(pic.us / 1000000), error);
}

bool ExportZip::addText(const std::string& name, const std::string& text, std::string* error) {
  m_texts.push_back(text);  // libzip reads the buffer at zip_close
  zip_source_t* src = zip_source_buffer(m_za, m_texts.back().data(), m_texts.back().size(), 0);
  if (!src) return fail(std::string("libzip: ") + zip_strerror(m_za), error);
  return addSource(name, src, time(nullptr), error);
}

bool ExportZip::finish(std::string* error) {
  if (zip_close(m_za) != 0) return fail(std::string("Unable to write the archive: ") + zip_strerror(m_za), error);
  m_za = nullptr;
  return true;
}

bool ExportZip::addSource(const std::string& name, zip_source* src, time_t mtime, std::string* error) {
  const zip_int64_t idx = zip_file_add(m_za, name.c_str(), src, ZIP_FL_ENC_UTF_8);
  if (idx < 0) {
    zip_source_free(src);
    return fail(std::string("libzip: ") + zip_strerror(m_za), error);
  }
  zip_set_file_compression(m_za, zip_uint64_t(idx), ZIP_CM_STORE, 0);
  zip_file_set_mtime(m_za, zip_uint64_t(idx), mtime, 0);
  return true;
}

}  // namespace recordings
