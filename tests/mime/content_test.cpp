// Decoded part content and the text helpers under it. The importer decodes base64 and
// quoted-printable content itself from the parsed bytes; GMime's own filter stream is the
// reference it must match byte for byte, including its quirks with padding in the middle of
// the content, so these cases compare the two on content cut at awkward places.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mime/importer.h"
#include "mime/mapi_codec.h"
#include "mime/text_codec.h"

namespace {

std::string AttachmentMessage(const std::string& encoding, const std::string& body) {
  return "Subject: c\nContent-Type: multipart/mixed; boundary=b\n\n"
         "--b\nContent-Type: text/plain\n\nsee file\n"
         "--b\nContent-Type: application/octet-stream\n"
         "Content-Disposition: attachment; filename=\"f.bin\"\n"
         "Content-Transfer-Encoding: " +
         encoding + "\n\n" + body + "\n--b--\n";
}

// What GMime's data wrapper writes for the attachment of AttachmentMessage.
std::string GMimeDecoded(const std::string& message) {
  g_mime_init();
  GMimeStream* stream = g_mime_stream_mem_new_with_buffer(message.data(), message.size());
  GMimeParser* parser = g_mime_parser_new_with_stream(stream);
  GMimeMessage* parsed = g_mime_parser_construct_message(parser, nullptr);
  std::string out;
  if (parsed != nullptr) {
    GMimeObject* top = g_mime_message_get_mime_part(parsed);
    GMimeObject* part = g_mime_multipart_get_part(GMIME_MULTIPART(top), 1);
    GMimeStream* mem = g_mime_stream_mem_new();
    g_mime_data_wrapper_write_to_stream(g_mime_part_get_content(GMIME_PART(part)), mem);
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
    out.assign(reinterpret_cast<const char*>(array->data), array->len);
    g_object_unref(mem);
    g_object_unref(parsed);
  }
  g_object_unref(parser);
  g_object_unref(stream);
  return out;
}

// The bytes a source makes, read in pieces of 1, 2, 3, ... 17 bytes and then 8176 (a store
// block) in turn, so that piece ends fall everywhere in the decoder's own pieces.
std::string ReadInPieces(const mail::ContentSource& source) {
  std::string out(source.size(), '\0');
  auto reader = source.Open();
  std::size_t at = 0;
  for (std::size_t k = 1; at < out.size(); k = k % 18 + 1) {
    std::size_t n = std::min(out.size() - at, k == 18 ? std::size_t{8176} : k);
    if (!reader->Read({reinterpret_cast<std::uint8_t*>(out.data()) + at, n})) return "<failed>";
    at += n;
  }
  std::uint8_t extra;
  if (reader->Read({&extra, 1})) return "<longer than its size>";
  return out;
}

// The attachment of a one-attachment message as the importer decodes it at once. The same
// message is also imported with its bytes shared and nothing decoded at once, so that the
// attachment comes as a source decoding it on demand, which must give the same bytes.
std::string ImportedAttachment(const std::string& message) {
  mime::ImportOptions options;
  options.now = 1767225600;
  auto result =
      mime::ImportMessageBytes(std::as_bytes(std::span(message.data(), message.size())), options);
  EXPECT_TRUE(result.has_value());
  if (!result.has_value() || result->content.attachments.size() != 1) {
    ADD_FAILURE() << "expected one attachment";
    return "<none>";
  }
  const auto& data = result->content.attachments[0].data;
  std::string decoded(data.begin(), data.end());

  auto shared = std::make_shared<const std::string>(message);
  options.file_owner = shared;
  options.decode_now_bytes = 0;
  auto streamed = mime::ImportMessageBytes(std::as_bytes(std::span(shared->data(), shared->size())),
                                           options);
  if (!streamed.has_value() || streamed->content.attachments.size() != 1) {
    ADD_FAILURE() << "expected one attachment when streamed";
    return "<none>";
  }
  const mail::Attachment& a = streamed->content.attachments[0];
  if (!a.source) {
    EXPECT_TRUE(decoded.empty()) << "content left decoded at once";
    return decoded;
  }
  EXPECT_EQ(a.source->size(), decoded.size());
  EXPECT_EQ(ReadInPieces(*a.source), decoded);
  return decoded;
}

std::string Base64Lines(const std::string& bytes) {
  gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
  std::string flat = b64;
  g_free(b64);
  std::string out;
  for (std::size_t i = 0; i < flat.size(); i += 76) out += flat.substr(i, 76) + "\n";
  return out;
}

std::string Pattern(std::size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = static_cast<char>((i * 131 + seed * 7 + i / 97) & 0xFF);
  }
  return s;
}

TEST(ContentDecoding, Base64MatchesGMimeWhereverPaddingAndPieceEndsFall) {
  // A large attachment decodes to its bytes.
  std::string big = Pattern(300000, 1);
  EXPECT_EQ(ImportedAttachment(AttachmentMessage("base64", Base64Lines(big))), big);
  // Two base64 blobs glued together, the first one padded (GMime stops at the padding).
  // Blank lines in front, skipped by the decoder, slide the padding across the end of the
  // first 4 KiB piece.
  for (std::size_t first : {2990, 2991}) {  // "==" and "=" padding
    std::string blobs = Base64Lines(Pattern(first, 2)) + Base64Lines(Pattern(500, 3));
    for (std::size_t lead = 40; lead < 70; ++lead) {
      std::string message = AttachmentMessage("base64", std::string(lead, '\n') + blobs);
      ASSERT_EQ(ImportedAttachment(message), GMimeDecoded(message))
          << "first blob " << first << ", lead " << lead;
    }
  }
  // Junk characters and CRLF line ends are skipped the same way.
  std::string junk = "QUJD\r\n!!RE*VG\r\n  Rw==\r\n";
  EXPECT_EQ(ImportedAttachment(AttachmentMessage("base64", junk)),
            GMimeDecoded(AttachmentMessage("base64", junk)));
}

TEST(ContentDecoding, Base64LinesOfEveryShapeMatchGMime) {
  // Well-formed base64 of every length mod 3, in LF and CRLF lines of several widths, with a
  // stray character at the end, and slid so the padding falls near the first piece end.
  for (std::size_t size = 0; size < 40; ++size) {
    for (std::size_t width : {76, 64, 4, 5}) {
      for (const char* eol : {"\n", "\r\n"}) {
        gchar* b64 = g_base64_encode(reinterpret_cast<const guchar*>(Pattern(size, 4).data()),
                                     size);
        std::string flat = b64;
        g_free(b64);
        std::string body;
        for (std::size_t i = 0; i < flat.size(); i += width) body += flat.substr(i, width) + eol;
        for (const std::string& variant : {body, body + "Q", body + "QUJ=" + eol}) {
          std::string message = AttachmentMessage("base64", variant);
          ASSERT_EQ(ImportedAttachment(message), GMimeDecoded(message))
              << "size " << size << " width " << width;
        }
      }
    }
  }
  // Every byte value, in and out of the alphabet, at several places in and across runs of
  // sixteen characters (the decoder takes sixteen at a time).
  const std::string lines = Base64Lines(Pattern(150, 6));
  for (int byte = 0; byte < 256; ++byte) {
    for (std::size_t at : {77, 84, 92, 93, 110, 153}) {
      std::string body = lines;
      body.insert(at, 1, static_cast<char>(byte));
      std::string message = AttachmentMessage("base64", body);
      ASSERT_EQ(ImportedAttachment(message), GMimeDecoded(message)) << "byte " << byte << " at " << at;
    }
  }
  std::string tail = Base64Lines(Pattern(1000, 5));
  for (std::size_t lead = 4096 - tail.size() - 8; lead < 4096 - tail.size() + 8; ++lead) {
    std::string message = AttachmentMessage("base64", std::string(lead, '\n') + tail);
    ASSERT_EQ(ImportedAttachment(message), GMimeDecoded(message)) << "lead " << lead;
  }
}

TEST(ContentDecoding, UnpaddedBase64KeepsItsLastBytes) {
  // Two and three characters left over ("RA" is "D", "REU" is "DE"), with line ends and junk
  // after them; an '=' anywhere leaves GMime's reading alone.
  EXPECT_EQ(ImportedAttachment(AttachmentMessage("base64", "QUJD\r\nRA\r\n\r\n")), "ABCD");
  EXPECT_EQ(ImportedAttachment(AttachmentMessage("base64", "QUJDREU!*")), "ABCDE");
  for (const char* body : {"QQ==QUJDRA", "QUJD=RA"}) {
    std::string padded_early = AttachmentMessage("base64", body);
    EXPECT_EQ(ImportedAttachment(padded_early), GMimeDecoded(padded_early)) << body;
  }
}

TEST(ContentDecoding, QuotedPrintableMatchesGMimeAcrossPieceEnds) {
  // Soft line breaks and escapes placed so that some straddle a 4 KiB piece end.
  for (std::size_t lead = 4080; lead < 4100; ++lead) {
    std::string body(lead, 'a');
    body += "=3D=\n=C3=A9 x=\r\nend=4";
    std::string message = AttachmentMessage("quoted-printable", body);
    ASSERT_EQ(ImportedAttachment(message), GMimeDecoded(message)) << "lead " << lead;
  }
}

TEST(ContentDecoding, UnencodedContentIsCopiedWithoutTheBoundaryLineEnd) {
  std::string body = "line one\r\nline two\r";  // the CR is the boundary line's
  std::string message = AttachmentMessage("8bit", body);
  EXPECT_EQ(ImportedAttachment(message), "line one\r\nline two");  // CRLF before the boundary
  EXPECT_EQ(ImportedAttachment(AttachmentMessage("binary", "x\r\ny")), "x\r\ny");
}

// Everything of a message that the content code above produces, as one string.
std::string Fingerprint(const mail::MessageContent& m) {
  std::string out;
  for (const auto& p : m.props) {
    out += std::to_string(p.tag) + ":";
    if (const auto* s = std::get_if<std::u16string>(&p.value)) out += mime::Utf16ToUtf8(*s);
    if (const auto* b = std::get_if<mail::Bytes>(&p.value)) out.append(b->begin(), b->end());
    out += "\n";
  }
  for (const auto& a : m.attachments) {
    out.append(a.data.begin(), a.data.end());
    if (a.embedded) out += Fingerprint(*a.embedded);
  }
  return out;
}

TEST(ContentDecoding, ConcurrentImportsGiveTheSameResults) {
  // Imports run on worker threads: per-thread converter caches and decoding buffers must
  // not leak between calls.
  const std::vector<std::string> messages = {
      AttachmentMessage("base64", Base64Lines(Pattern(20000, 6))),
      AttachmentMessage("quoted-printable", "caf=C3=A9 =3D=\nend"),
      "Subject: =?iso-8859-1?Q?Gr=FC=DFe?=\nFrom: =?koi8-r?B?8NLJ18XU?= <a@b.c>\n"
      "Content-Type: text/html; charset=windows-1252\n\n<p>K\xf6ln &amp; more</p>\n",
      "Subject: \xd6\xd0\xce\xc4\nContent-Type: text/plain; charset=gb2312\n\nx\n",
      "Subject: outer\nContent-Type: multipart/mixed; boundary=o\n\n--o\n"
      "Content-Type: message/rfc822\n\nSubject: inner\n\ninner body\n--o--\n",
  };
  std::vector<std::string> expected;
  for (const auto& m : messages) {
    mime::ImportOptions options;
    options.now = 1767225600;
    auto r = mime::ImportMessageBytes(std::as_bytes(std::span(m.data(), m.size())), options);
    ASSERT_TRUE(r.has_value());
    expected.push_back(Fingerprint(r->content));
  }
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 40; ++round) {
        std::size_t i = static_cast<std::size_t>(round + t) % messages.size();
        mime::ImportOptions options;
        options.now = 1767225600;
        auto r = mime::ImportMessageBytes(
            std::as_bytes(std::span(messages[i].data(), messages[i].size())), options);
        if (!r.has_value() || Fingerprint(r->content) != expected[i]) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

TEST(ContentDecoding, MixedTextAndHtmlPartsMergeIntoOneHtmlBody) {
  std::string m =
      "Subject: m\nContent-Type: multipart/mixed; boundary=m\n\n"
      "--m\nContent-Type: text/plain; charset=utf-8\n\na<b> & \"c\"\n"
      "--m\nContent-Type: text/html; charset=utf-8\n\n"
      "<HTML><Body class=x>inner <i>html</i></BODY></html>\n"
      "--m\nContent-Type: text/plain; charset=utf-8\n\ntail\n--m--\n";
  mime::ImportOptions options;
  options.now = 1767225600;
  auto r = mime::ImportMessageBytes(std::as_bytes(std::span(m.data(), m.size())), options);
  ASSERT_TRUE(r.has_value());
  std::string html;
  for (const auto& p : r->content.props) {
    if (p.tag == 0x10130102) {
      const auto& b = std::get<mail::Bytes>(p.value);
      html.assign(b.begin(), b.end());
    }
  }
  // Plain parts escaped, the HTML part's body content only (tags found in any case).
  EXPECT_EQ(html,
            "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
            "charset=utf-8\"></head><body><div style=\"white-space:pre-wrap\">a&lt;b&gt; &amp; "
            "&quot;c&quot;</div>inner <i>html</i><div style=\"white-space:pre-wrap\">tail</div>"
            "</body></html>");
}

TEST(TextHelpers, Utf8CheckFindsABadByteAtAnyOffset) {
  // The check skips ASCII eight bytes at a time: put the bad byte before, on and after a
  // word's end, and a character cut at the very end.
  for (std::size_t at = 0; at < 20; ++at) {
    std::string s(20, 'a');
    s[at] = '\xff';
    EXPECT_FALSE(mime::IsValidUtf8(s)) << at;
    std::string good(20, 'a');
    good.replace(at, 1, "\xc3\xa9");
    EXPECT_TRUE(mime::IsValidUtf8(good)) << at;
  }
  EXPECT_FALSE(mime::IsValidUtf8(std::string(15, 'a') + "\xe2\x82"));
  EXPECT_FALSE(mime::IsValidUtf8("abcdefgh\xed\xa0\x80"));  // a surrogate
  EXPECT_FALSE(mime::IsValidUtf8("abcdefgh\xc0\xaf"));      // overlong
  EXPECT_TRUE(mime::IsValidUtf8(std::string("a\0b", 3)));
}

TEST(TextHelpers, Utf8ToUtf16KnownAnswers) {
  EXPECT_EQ(mime::Utf8ToUtf16(""), u"");
  EXPECT_EQ(mime::Utf8ToUtf16("plain ascii"), u"plain ascii");
  EXPECT_EQ(mime::Utf8ToUtf16("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80!"), u"é€\U0001F600!");
  // Each bad byte is one U+FFFD; the text around it survives.
  EXPECT_EQ(mime::Utf8ToUtf16("a\xff" "b\xe2\x82" "c"), u"a\uFFFDb\uFFFD\uFFFDc");
  EXPECT_EQ(mime::Utf8ToUtf16("\xf0\x9f\x98"), u"\uFFFD\uFFFD\uFFFD");
  // With line ends made CR LF on the way: the same as converting the normalised text.
  for (const std::string s :
       {"a\rb\nc\r\nd\r", "\n\n\r\r\n", "\xe2\n\xc3\xa9\r", "x\xf0\x9f\x98\x80\n"}) {
    EXPECT_EQ(mime::Utf8ToUtf16Crlf(s), mime::Utf8ToUtf16(mime::ToCrlf(s)));
  }
  EXPECT_EQ(mime::Utf8ToUtf16Crlf("a\nb\r"), u"a\r\nb\r\n");
  // The same behind and before plain runs of every length, so that each falls at every place
  // in and across the sixteen-byte steps the converter takes through plain text.
  for (std::size_t lead = 0; lead < 40; ++lead) {
    const std::string pad(lead, 'x');
    const std::u16string pad16(lead, u'x');
    EXPECT_EQ(mime::Utf8ToUtf16(pad + "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80!" + pad + "\xff" + pad),
              pad16 + u"é€\U0001F600!" + pad16 + u"\uFFFD" + pad16) << lead;
    const std::string s = pad + "a\rb\n" + pad + "c\r\nd\r" + pad + "\xe2\n\xc3\xa9\r" + pad;
    EXPECT_EQ(mime::Utf8ToUtf16Crlf(s), mime::Utf8ToUtf16(mime::ToCrlf(s))) << lead;
    EXPECT_EQ(mime::Utf8ToUtf16Crlf(pad + "\n" + pad + "\r"), pad16 + u"\r\n" + pad16 + u"\r\n") << lead;
  }
}

TEST(TextHelpers, HtmlRendering) {
  EXPECT_EQ(mime::HtmlToText(
                "<html><head><title>T</title><style>p{}</style></head><body><p>Hello&nbsp;"
                "<b>W&amp;rld</b></p>\n<div>a  b\tc</div><br>x &copy; &bogus; AT&T<!-- note -->"
                "<table><tr><td>1</td><td>2</td></tr></table><script>var a=1;</script>"
                "end &#x41;&#66;</body></html>"),
            "Hello\u00a0W&rld\na b c\n\nx \u00a9 &bogus; AT&T 1 2\n\nend AB");
  EXPECT_EQ(mime::HtmlToText("plain & simple   text<"), "plain & simple text");
}

TEST(TextHelpers, LineEndsAndCharsets) {
  EXPECT_EQ(mime::ToCrlf("a\rb\nc\r\nd\r"), "a\r\nb\r\nc\r\nd\r\n");
  EXPECT_EQ(mime::ToCrlf("\n\n"), "\r\n\r\n");
  EXPECT_EQ(mime::ToCrlf("no line end"), "no line end");
  // Declared UTF-8 that is UTF-8 stays as it is (a BOM included); declared UTF-8 that is not
  // falls back to windows-1252.
  auto utf8 = mime::DecodeToUtf8("\xef\xbb\xbf" "caf\xc3\xa9", "UTF-8");
  EXPECT_EQ(utf8.utf8, "\xef\xbb\xbf" "caf\xc3\xa9");
  EXPECT_EQ(utf8.charset, "utf-8");
  auto latin = mime::DecodeToUtf8("caf\xe9", "utf-8");
  EXPECT_EQ(latin.utf8, "caf\xc3\xa9");
  EXPECT_EQ(latin.charset, "windows-1252");
}

}  // namespace
