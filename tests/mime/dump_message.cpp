// Test tool: imports message files and prints what the importer made of each as one JSON
// object per line (subject, originators, recipients, dates, bodies, attachments with their
// SHA-256). Paths come from the arguments, or one per line on stdin with "-".
// Usage: mime_dump_message [--now SECONDS] (FILE... | -)
#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "mime/importer.h"
#include "mime/mapi_codec.h"

namespace {

std::string Json(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const mail::PropValue* Find(const std::vector<mail::Property>& props, mail::PropTag tag) {
  for (const auto& p : props)
    if (p.tag == tag) return &p.value;
  return nullptr;
}

std::string Str(const std::vector<mail::Property>& props, mail::PropTag tag) {
  const auto* v = Find(props, tag);
  if (v == nullptr) return "null";
  return Json(mime::Utf16ToUtf8(std::get<std::u16string>(*v)));
}

std::string Int(const std::vector<mail::Property>& props, mail::PropTag tag) {
  const auto* v = Find(props, tag);
  if (v == nullptr) return "null";
  if (const auto* b = std::get_if<bool>(v)) return *b ? "true" : "false";
  return std::to_string(std::get<std::int32_t>(*v));
}

std::string Time(const std::vector<mail::Property>& props, mail::PropTag tag) {
  const auto* v = Find(props, tag);
  if (v == nullptr) return "null";
  return std::to_string(mime::FileTimeToUnix(std::get<mail::FileTime>(*v)));
}

std::string Sha256(const mail::Bytes& data) {
  char* hex = g_compute_checksum_for_data(G_CHECKSUM_SHA256, data.data(), data.size());
  std::string out = hex;
  g_free(hex);
  return out;
}

mail::Bytes NoSpace(const mail::Bytes& data) {
  mail::Bytes out;
  for (std::uint8_t b : data)
    if (b != ' ' && b != '\t' && b != '\r' && b != '\n') out.push_back(b);
  return out;
}

std::string Dump(const mail::MessageContent& m) {
  const auto& p = m.props;
  std::string out = "{";
  out += "\"class\":" + Str(p, 0x001A001F);
  out += ",\"subject\":" + Str(p, 0x0037001F);
  out += ",\"prefix\":" + Str(p, 0x003D001F);
  out += ",\"from_name\":" + Str(p, 0x0042001F);
  out += ",\"from_email\":" + Str(p, 0x0065001F);
  out += ",\"sender_name\":" + Str(p, 0x0C1A001F);
  out += ",\"sender_email\":" + Str(p, 0x0C1F001F);
  out += ",\"display_to\":" + Str(p, 0x0E04001F);
  out += ",\"display_cc\":" + Str(p, 0x0E03001F);
  out += ",\"submit_time\":" + Time(p, 0x00390040);
  out += ",\"delivery_time\":" + Time(p, 0x0E060040);
  out += ",\"message_id\":" + Str(p, 0x1035001F);
  out += ",\"importance\":" + Int(p, 0x00170003);
  out += ",\"flags\":" + Int(p, 0x0E070003);
  out += ",\"cpid\":" + Int(p, 0x3FDE0003);
  out += ",\"body\":" + Str(p, 0x1000001F);
  const auto* html = Find(p, 0x10130102);
  if (html != nullptr) {
    const auto& b = std::get<mail::Bytes>(*html);
    out += ",\"html\":" + Json(std::string(b.begin(), b.end()));
  } else {
    out += ",\"html\":null";
  }
  out += ",\"recipients\":[";
  for (std::size_t i = 0; i < m.recipient_count(); ++i) {
    const mail::Recipient recipient = m.RecipientAt(i);
    const auto& r = recipient.props;
    out += (i ? "," : "") + std::string("{\"type\":") + Int(r, 0x0C150003) +
           ",\"name\":" + Str(r, 0x3001001F) + ",\"email\":" + Str(r, 0x3003001F) + "}";
  }
  out += "],\"attachments\":[";
  for (std::size_t i = 0; i < m.attachments.size(); ++i) {
    const auto& a = m.attachments[i];
    const mail::Bytes data = mail::ContentBytes(a);
    out += (i ? "," : "") + std::string("{\"name\":") + Str(a.props, 0x3707001F) +
           ",\"display\":" + Str(a.props, 0x3001001F) + ",\"mime\":" + Str(a.props, 0x370E001F) +
           ",\"method\":" + Int(a.props, 0x37050003) + ",\"hidden\":" + Int(a.props, 0x7FFE000B) +
           ",\"cid\":" + Str(a.props, 0x3712001F) + ",\"size\":" + std::to_string(data.size()) +
           ",\"sha256\":" + Json(Sha256(data)) + ",\"norm\":" + Json(Sha256(NoSpace(data)));
    if (a.embedded) out += ",\"embedded\":" + Dump(*a.embedded);
    out += "}";
  }
  return out + "]}";
}

void DumpFile(const std::string& path, std::int64_t now) {
  auto result = mime::ImportMessageFile(path, now);
  std::string line = "{\"file\":" + Json(path);
  if (!result.has_value()) {
    line += ",\"ok\":false,\"error\":" + Json(result.error().ToString()) + "}";
  } else {
    line += ",\"ok\":true,\"warnings\":[";
    for (std::size_t i = 0; i < result->warnings.size(); ++i) {
      line += (i ? "," : "") + Json(result->warnings[i]);
    }
    line += "],\"missing\":" + std::string(result->attachments_missing ? "true" : "false");
    line += ",\"message\":" + Dump(result->content) + "}";
  }
  std::cout << line << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  std::int64_t now = static_cast<std::int64_t>(g_get_real_time() / 1000000);
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--now" && i + 1 < argc) {
      now = std::strtoll(argv[++i], nullptr, 10);
    } else {
      files.push_back(arg);
    }
  }
  for (const std::string& f : files) {
    if (f == "-") {
      std::string line;
      while (std::getline(std::cin, line)) {
        if (!line.empty()) DumpFile(line, now);
      }
    } else {
      DumpFile(f, now);
    }
  }
  return 0;
}
