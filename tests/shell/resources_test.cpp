// The executable's resources as shipped: the common-controls manifest byte for byte, the
// resource script that carries it with the icon and version information, and the icon's nine
// images.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

std::string Read(const std::string& name) {
  std::ifstream in(std::string(WHARFLINE_RESOURCES) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), {}};
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) ++n;
  return n;
}

std::uint32_t U32(const std::string& b, std::size_t at) {
  return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8 |
         static_cast<std::uint8_t>(b[at + 2]) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}
std::uint16_t U16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) |
                                    static_cast<std::uint8_t>(b[at + 1]) << 8);
}

TEST(Manifest, IsTwentyOneCrSeparatedLinesOfUtf8AskingForCommonControls6) {
  const std::string m = Read("wharfline.manifest");
  ASSERT_FALSE(m.empty());
  EXPECT_NE(m.substr(0, 3), "\xEF\xBB\xBF") << "no byte-order mark";
  EXPECT_EQ(m.find('\n'), std::string::npos) << "lines end in CR alone";
  EXPECT_EQ(Count(m, "\r") + 1, 21);
  EXPECT_EQ(m.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r", 0), 0u);
  EXPECT_NE(m.find("xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\""),
            std::string::npos);
  EXPECT_NE(m.find("<description></description>"), std::string::npos);
  // The application's own identity, then the one dependency.
  const std::regex own(R"(<assemblyIdentity\s+name="[^"]+"\s+processorArchitecture="x86"\s+)"
                       R"(version="1.0.0.0"\s+type="win32"\s*/>)");
  EXPECT_TRUE(std::regex_search(m, own));
  const std::regex dependency(
      R"(<dependency>\s*<dependentAssembly>\s*<assemblyIdentity\s+type="win32"\s+)"
      R"(name="Microsoft.Windows.Common-Controls"\s+version="6.0.0.0"\s+)"
      R"(processorArchitecture="x86"\s+publicKeyToken="6595b64144ccf1df"\s+language="\*"\s*/>)"
      R"(\s*</dependentAssembly>\s*</dependency>\s*</assembly>$)");
  EXPECT_TRUE(std::regex_search(m, dependency));
  EXPECT_EQ(Count(m, "<dependency>"), 1);
}

TEST(ResourceScript, CarriesOneManifestTheIconAndTheVersion) {
  const std::string rc = Read("wharfline.rc");
  EXPECT_EQ(Count(rc, "RT_MANIFEST"), 1);
  EXPECT_NE(rc.find("CREATEPROCESS_MANIFEST_RESOURCE_ID RT_MANIFEST \"wharfline.manifest\""),
            std::string::npos);
  EXPECT_NE(rc.find("LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_US"), std::string::npos);
  EXPECT_EQ(Count(rc, " ICON "), 1);
  EXPECT_NE(rc.find("FILEVERSION 5,6,0,0"), std::string::npos);
  EXPECT_NE(rc.find("PRODUCTVERSION 5,6,0,0"), std::string::npos);
  EXPECT_NE(rc.find("BLOCK \"040904B0\""), std::string::npos);
  for (const char* value : {
           R"(VALUE "CompanyName", "Pellimor Software")",
           R"(VALUE "ProductName", "Pellimor Wharfline")",
           R"(VALUE "FileDescription", "Import EML, EMLX Messages to Outlook")",
           R"(VALUE "FileVersion", "5.06")", R"(VALUE "ProductVersion", "5.06")",
           R"(VALUE "Translation", 0x0409, 0x04B0)"}) {
    EXPECT_NE(rc.find(value), std::string::npos) << value;
  }
  const std::string desktop = Read("wharfline.desktop");
  EXPECT_NE(desktop.find("Name=Pellimor Wharfline\n"), std::string::npos);
  EXPECT_NE(desktop.find("Icon=wharfline\n"), std::string::npos);
}

TEST(ApplicationIcon, HoldsNineUncompressedBitmaps) {
  const std::string ico = Read("wharfline.ico");
  ASSERT_GE(ico.size(), 6u);
  ASSERT_EQ(U16(ico, 0), 0);
  ASSERT_EQ(U16(ico, 2), 1);  // an icon, not a cursor
  ASSERT_EQ(U16(ico, 4), 9);
  std::vector<std::pair<int, int>> seen;  // (size, bits per pixel)
  for (int i = 0; i < 9; ++i) {
    const std::size_t entry = 6 + 16 * i;
    const int size = static_cast<std::uint8_t>(ico[entry]) == 0 ? 256 : static_cast<std::uint8_t>(ico[entry]);
    const std::uint32_t bytes = U32(ico, entry + 8);
    const std::uint32_t offset = U32(ico, entry + 12);
    ASSERT_LE(offset + bytes, ico.size());
    // A bitmap image starts with a 40-byte BITMAPINFOHEADER (a PNG image would not).
    ASSERT_EQ(U32(ico, offset), 40u);
    EXPECT_EQ(static_cast<int>(U32(ico, offset + 4)), size);
    EXPECT_EQ(static_cast<int>(U32(ico, offset + 8)), size * 2);  // image and mask
    const int bpp = U16(ico, offset + 14);
    EXPECT_EQ(U32(ico, offset + 16), 0u) << "uncompressed";
    EXPECT_EQ(U16(ico, entry + 6), bpp);
    seen.emplace_back(size, bpp);
  }
  const std::vector<std::pair<int, int>> expected = {{48, 8},  {32, 8},  {24, 8},
                                                     {16, 8},  {256, 32}, {48, 32},
                                                     {32, 32}, {24, 32}, {16, 32}};
  EXPECT_EQ(seen, expected);
}

}  // namespace
