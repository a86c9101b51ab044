// Writes one of the round-trip test stores and a JSON manifest of its expected content:
//   pst_scenario <scenario> <store.pst> <manifest.json> [none|permute]
// Scenarios: empty, basic, many_messages, many_folders, big, large_folder, many_recipients.
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include "pst/pst_writer.h"
#include "tests/support/pst_samples.h"

namespace {

using pst::FolderId;
using pst::testing::MakeMessage;
using pst::testing::Manifest;
using pst::testing::SampleLayout;

struct Run {
  pst::PstWriter& w;
  Manifest& manifest;
  std::map<FolderId, std::vector<std::u16string>> paths;

  FolderId Folder(FolderId parent, const std::u16string& name) {
    auto f = w.AddFolder(parent, name);
    if (!f) Die(f.error());
    auto p = paths[parent];
    p.push_back(name);
    paths[*f] = p;
    return *f;
  }
  void Message(FolderId folder, const SampleLayout& layout) {
    auto m = MakeMessage(layout);
    auto r = w.AddMessage(folder, m);
    if (!r) Die(r.error());
    manifest.AddMessage(paths[folder], m);
  }
  void Finish() {
    std::function<void(FolderId)> walk = [&](FolderId f) {
      for (const auto& [name, id] : w.Children(f)) {
        manifest.AddFolder(paths[id], w.MessageCount(id));
        walk(id);
      }
    };
    walk(w.RootFolder());
  }
  [[noreturn]] static void Die(const wharfline::Status& s) {
    std::fprintf(stderr, "pst_scenario: %s\n", s.ToString().c_str());
    std::exit(1);
  }
};

void Basic(Run& r) {
  FolderId root = r.w.RootFolder();
  FolderId inbox = r.Folder(root, u"Posteingang ✉");
  FolderId archive = r.Folder(root, u"Archiv");
  FolderId year = r.Folder(archive, u"2021");
  FolderId month = r.Folder(year, u"Январь 日本");
  r.Folder(root, u"Leer");
  r.Folder(archive, u"Пусто");
  int i = 1;
  r.Message(inbox, {.index = i++});
  r.Message(inbox, {.index = i++, .recipients = 0, .html = false});
  r.Message(inbox, {.index = i++, .body_size = 5000});
  r.Message(inbox, {.index = i++, .body_size = 20000});
  r.Message(inbox, {.index = i++, .attachments = 1, .attachment_size = 100});
  r.Message(inbox, {.index = i++, .attachments = 1, .attachment_size = 5000});
  r.Message(inbox, {.index = i++, .attachments = 2, .attachment_size = 100000});
  r.Message(inbox, {.index = i++, .attachments = 1, .attachment_size = 9 * 1024 * 1024});
  r.Message(inbox, {.index = i++, .embedded = true});
  r.Message(inbox, {.index = i++, .unread = true});
  {
    auto m = MakeMessage({.index = i++});
    m.named_props.push_back({{0x29, 0x03, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46},
                             std::u16string(u"X-Custom-Header"), pst::PropType::kString,
                             std::u16string(u"custom value")});
    auto res = r.w.AddMessage(month, m);
    if (!res) Run::Die(res.error());
    r.manifest.AddMessage(r.paths[month], m);
  }
  r.Message(month, {.index = i++, .recipients = 5});
  r.Message(year, {.index = i++});
  r.Message(r.w.DeletedItemsFolder(), {.index = i++});
}

void ManyMessages(Run& r) {
  FolderId f = r.Folder(r.w.RootFolder(), u"Zehntausend");
  for (int i = 1; i <= 10000; ++i) r.Message(f, {.index = i, .recipients = 1, .html = i % 2 == 0});
}

void ManyFolders(Run& r) {
  int made = 0;
  for (int a = 0; a < 10; ++a) {
    FolderId top = r.Folder(r.w.RootFolder(), u"Ordner " + std::u16string(1, u'A' + a) + u" ä");
    ++made;
    for (int b = 0; b < 99 && made < 1000; ++b, ++made) {
      FolderId sub = r.Folder(top, u"Unterordner ü " + std::u16string(1, u'0' + b / 10) +
                                       std::u16string(1, u'0' + b % 10));
      if (b % 33 == 0) r.Message(sub, {.index = made});
    }
  }
}

void Big(Run& r) {
  FolderId f = r.Folder(r.w.RootFolder(), u"Groß");
  r.Message(f, {.index = 1, .recipients = 1, .attachments = 1, .attachment_size = 40 * 1024 * 1024});
  r.Message(f, {.index = 2, .recipients = 500});
  r.Message(f, {.index = 3, .recipients = 1, .attachments = 200, .attachment_size = 3000});
}

// Tables past what one XBLOCK holds: a folder of 70,000 messages, and a message with 100,000
// recipients.
void LargeFolder(Run& r) {
  FolderId f = r.Folder(r.w.RootFolder(), u"Siebzigtausend");
  for (int i = 1; i <= 70000; ++i) r.Message(f, {.index = i, .recipients = 1, .html = false});
}

void ManyRecipients(Run& r) {
  FolderId f = r.Folder(r.w.RootFolder(), u"Verteiler");
  r.Message(f, {.index = 1, .recipients = 100000, .html = false});
  r.Message(f, {.index = 2, .recipients = 3});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: pst_scenario <scenario> <store.pst> <manifest.json> [none|permute]\n");
    return 2;
  }
  std::string scenario = argv[1];
  pst::WriterOptions options;
  options.sync = false;
  if (argc > 4 && std::string(argv[4]) == "none") options.encoding = pst::Encoding::kNone;
  std::u16string name = u"Persönliche Ordner ✓ " + std::u16string(scenario.begin(), scenario.end());
  auto w = pst::PstWriter::Create(pst::DefaultFileEnv(), argv[2], name, options);
  if (!w) Run::Die(w.error());
  Manifest manifest(name);
  Run r{**w, manifest, {}};
  r.paths[(*w)->RootFolder()] = {};
  r.paths[(*w)->DeletedItemsFolder()] = {u"Deleted Items"};
  if (scenario == "basic") {
    Basic(r);
  } else if (scenario == "many_messages") {
    ManyMessages(r);
  } else if (scenario == "many_folders") {
    ManyFolders(r);
  } else if (scenario == "big") {
    Big(r);
  } else if (scenario == "large_folder") {
    LargeFolder(r);
  } else if (scenario == "many_recipients") {
    ManyRecipients(r);
  } else if (scenario != "empty") {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }
  wharfline::Status s = (*w)->Close();
  if (!s.ok()) Run::Die(s);
  r.Finish();
  std::ofstream(argv[3]) << manifest.Json();
  return 0;
}
