#include <gtest/gtest.h>

#include <cstdlib>

#include "PackageSignature.h"
#include "TransportFixtures.h"
#include "../support/MinisignSigner.h"

using namespace zelvan::fennic;
using namespace fennic_test;

namespace {

constexpr const char* kName = "pkg.bin";

// One base64 line of a signature file with one bit of its decoded bytes
// flipped (line 1: the signature over the package; 2: the trusted comment).
std::string FlipBit(const std::string& signature, int line, size_t byte) {
  std::vector<std::string> lines;
  std::istringstream in(signature);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  if (line == 2) {
    lines[2].back() ^= 0x01;
  } else {
    std::string raw(lines[line].size(), '\0');
    raw.resize(static_cast<size_t>(EVP_DecodeBlock(reinterpret_cast<unsigned char*>(raw.data()),
                                                   reinterpret_cast<const unsigned char*>(lines[line].data()),
                                                   static_cast<int>(lines[line].size()))));
    raw.resize(line == 1 ? 74 : 64);
    raw[byte] ^= 0x01;
    lines[line] = MinisignSigner::Base64(raw);
  }
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

// What one row serves and what the download must come to.
struct TamperCase {
  const char* name;
  SignaturePolicy policy;
  // The .minisig answer, given the trusted signer, a stranger and the package.
  std::function<Reply(const MinisignSigner& trusted, const MinisignSigner& stranger, const std::string& package)> sig;
  bool flipPackage;     // the server sends the package with one bit flipped (its details match what is sent)
  const char* reason;   // "" when the package must be kept
  bool packageFetched;  // whether the package itself was asked for
};

std::ostream& operator<<(std::ostream& out, const TamperCase& c) { return out << c.name; }

Reply Signed(const MinisignSigner& by, const std::string& package, const std::string& name = kName) {
  return Reply{200, by.Sign(package, name)};
}

const SignaturePolicy kRequire = SignaturePolicy::Require;
const SignaturePolicy kIfPresent = SignaturePolicy::VerifyIfPresent;

const TamperCase kTamperCases[] = {
    {"ValidSignatureIsKept", kRequire, [](auto& t, auto&, auto& p) { return Signed(t, p); }, false, "", true},
    {"BitFlippedInPackage", kRequire, [](auto& t, auto&, auto& p) { return Signed(t, p); }, true,
     "bad signature: the package does not match the signature by key", true},
    {"BitFlippedInSignature", kRequire,
     [](auto& t, auto&, auto& p) { return Reply{200, FlipBit(t.Sign(p, kName), 1, 40)}; }, false,
     "bad signature: the trusted comment was not signed by key", false},
    {"BitFlippedInTrustedComment", kRequire,
     [](auto& t, auto&, auto& p) { return Reply{200, FlipBit(t.Sign(p, kName), 2, 0)}; }, false,
     "bad signature: the trusted comment was not signed by key", false},
    {"BitFlippedInCommentSignature", kRequire,
     [](auto& t, auto&, auto& p) { return Reply{200, FlipBit(t.Sign(p, kName), 3, 7)}; }, false,
     "bad signature: the trusted comment was not signed by key", false},
    {"AnotherKeyUnderTheTrustedId", kRequire,
     [](auto& t, auto&, auto& p) { return Signed(MinisignSigner(t.KeyId()), p); }, false,
     "bad signature: the trusted comment was not signed by key", false},
    {"UnknownKeyId", kRequire, [](auto&, auto& s, auto& p) { return Signed(s, p); }, false,
     "signature by unknown key id", false},
    {"SignatureOfAnotherFile", kRequire, [](auto& t, auto&, auto&) { return Signed(t, "other", "other.bin"); },
     false, "signed for another name: \"other.bin\", not \"pkg.bin\"", false},
    {"CommentWithoutFileName", kRequire,
     [](auto& t, auto&, auto& p) { return Reply{200, t.Sign(p, kName, true, "timestamp:1")}; }, false,
     "signed for another name: the trusted comment names no file", false},
    {"LegacySignature", kRequire, [](auto& t, auto&, auto& p) { return Reply{200, t.Sign(p, kName, false)}; },
     false, "malformed signature file: legacy signature (not prehashed) refused", false},
    {"TruncatedSignatureFile", kRequire, [](auto& t, auto&, auto& p) { return Reply{200, t.Sign(p, kName).substr(0, 120)}; },
     false, "malformed signature file: expected 4 lines, found 2", false},
    {"EmptySignatureFile", kRequire, [](auto&, auto&, auto&) { return Reply{200, ""}; }, false,
     "malformed signature file: empty", false},
    {"OversizedSignatureFile", kRequire, [](auto&, auto&, auto&) { return Reply{200, std::string(5000, 'A')}; },
     false, "malformed signature file: longer than 4096 bytes", false},
    {"NotBase64", kRequire,
     [](auto&, auto&, auto&) {
       return Reply{200, "untrusted comment: x\nRU*!notbase64\ntrusted comment: file:pkg.bin\nAAAA\n"};
     },
     false, "malformed signature file: the signature line is not base64", false},
    {"MissingUnderRequire", kRequire, [](auto&, auto&, auto&) { return Reply{404, "{}"}; }, false,
     "no signature: http://127.0.0.1:PORT/pkg.bin.minisig answered HTTP 404", false},
    {"SignatureServerFails", kRequire, [](auto&, auto&, auto&) { return Reply{500, "{}"}; }, false,
     "signature not fetched: http://127.0.0.1:PORT/pkg.bin.minisig answered HTTP 500", false},
    {"MissingUnderVerifyIfPresent", kIfPresent, [](auto&, auto&, auto&) { return Reply{404, "{}"}; }, false, "",
     true},
    {"BadUnderVerifyIfPresent", kIfPresent, [](auto&, auto&, auto& p) { return Signed(MinisignSigner(), p); }, false,
     "signature by unknown key id", false},
    {"FlippedPackageUnderVerifyIfPresent", kIfPresent, [](auto& t, auto&, auto& p) { return Signed(t, p); }, true,
     "bad signature: the package does not match", true},
};

class TamperTest : public ::testing::TestWithParam<TamperCase> {};

// Each row: what the server is told (the reason the download fails with,
// which becomes the acknowledgement's "Reason"), whether the package was
// fetched at all, and that nothing but a verified package is kept: no
// partial file, nothing under the package's name, nothing in the store.
TEST_P(TamperTest, RefusesWhatTheKeysDoNotVouchFor) {
  const TamperCase& c = GetParam();
  MinisignSigner trusted, stranger;
  const std::string package = Package(300000);
  std::string served = package;
  if (c.flipPackage) served[123456] ^= 0x01;
  // Signed here, not on the listener's threads: the digest library's
  // set-up belongs to this long-lived thread.
  const Reply signature = c.sig(trusted, stranger, package);
  ScriptedListener server([&](const SeenRequest& r) { return r.path == "/pkg.bin.minisig" ? signature : Reply{200, served}; });
  ScratchFolder dir;
  auto options = FastOptions(dir.path.string());
  options.packageStoreFolder = dir / "store";
  options.packageTrust = PackageTrust{c.policy, {ParseMinisignKey(trusted.PublicKeyText())}};
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  client.SetToken(L"secret");
  const auto [ok, reason] = Fetch(client, Details("/pkg.bin", served.size(), Sha(served)), dir.path, kName, "P100");

  std::string wanted = c.reason;
  if (auto at = wanted.find("PORT"); at != std::string::npos) wanted.replace(at, 4, std::to_string(server.Port()));
  EXPECT_EQ(ok, wanted.empty()) << reason;
  EXPECT_EQ(reason.substr(0, wanted.size()), wanted);
  EXPECT_EQ(reason.find('\n'), std::string::npos) << "one line";
  int packageGets = 0;
  for (const auto& r : server.Seen()) packageGets += r.path == "/pkg.bin";
  EXPECT_EQ(packageGets, c.packageFetched ? 1 : 0);
  const std::vector<std::string> kept{"pkg.bin", "store", "store/P100", "store/P100/unversioned",
                                      "store/P100/unversioned/pkg.bin"};
  EXPECT_EQ(dir.Names(), ok ? kept : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Signatures, TamperTest, ::testing::ValuesIn(kTamperCases),
                         [](const auto& info) { return std::string(info.param.name); });

HttpTransportOptions Requiring(const ScratchFolder& dir, const MinisignSigner& signer) {
  auto options = FastOptions(dir.path.string());
  options.packageTrust = PackageTrust{SignaturePolicy::Require, {ParseMinisignKey(signer.PublicKeyText())}};
  return options;
}

}  // namespace

// A signature may come through a redirect to another origin like the
// package may: the key vouches for it, and the token stays home.
TEST(PackageSignature, ComesThroughARedirectWithoutTheToken) {
  MinisignSigner signer;
  const std::string package = Package(50000);
  const Reply signature = Signed(signer, package);
  ScriptedListener elsewhere([&](const SeenRequest&) { return signature; });
  ScriptedListener server([&](const SeenRequest& r) {
    if (r.path != "/pkg.bin.minisig") return Reply{200, package};
    Reply moved{302, ""};
    moved.headers.push_back({"Location", elsewhere.Base() + "/sigs/pkg.bin.minisig"});
    return moved;
  });
  ScratchFolder dir;
  HttpRestClient client(Requiring(dir, signer));
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  client.SetToken(L"secret");
  EXPECT_EQ(Fetch(client, Details("/pkg.bin", package.size(), Sha(package)), dir.path), std::make_pair(true, std::string()));
  ASSERT_EQ(elsewhere.Seen().size(), 1u);
  EXPECT_EQ(elsewhere.Seen()[0].headers.count("Authorization"), 0u);
  EXPECT_EQ(server.Seen()[0].headers["Authorization"], "Bearer secret") << "the signature is asked for like the package";
}

// A resumed package is verified over every byte, the ones on disk from
// before included; and a refused offer is not fetched again until its
// signature or the trusted keys change.
TEST(PackageSignature, CoversTheResumedPartAndIsNotFetchedAgain) {
  MinisignSigner signer;
  const std::string package = Package(200000);
  std::string half = package.substr(0, 100000);
  half[5] ^= 0x01;
  ScratchFolder second;
  HttpRestClient resuming(Requiring(second, signer));
  // A first attempt breaks off after a first half with one bit wrong; the
  // details carry no checksum, so only the signature can tell.
  const Reply signature = Signed(signer, package);
  ScriptedListener cut([&](const SeenRequest& r) {
    if (r.path == "/pkg.bin.minisig") return signature;
    if (r.headers.count("Range")) return RangedReply(package, r);
    return Reply{200, half + package.substr(100000), 100000};
  });
  resuming.SetTenantEndpoint(ToWide(cut.Base()), L"t");
  const std::string cutDetails = Details("/pkg.bin", package.size(), "");
  EXPECT_FALSE(Fetch(resuming, cutDetails, second.path).first);
  EXPECT_EQ(second.Names().size(), 1u) << "the partial file stays for the resume";
  const auto [ok, reason] = Fetch(resuming, cutDetails, second.path);
  EXPECT_FALSE(ok);
  EXPECT_EQ(reason.rfind("bad signature: the package does not match", 0), 0u) << reason;
  EXPECT_TRUE(second.Names().empty()) << "nothing kept";

  const auto packageGets = [&] {
    int n = 0;
    for (const auto& r : cut.Seen()) n += r.path == "/pkg.bin";
    return n;
  };
  const int before = packageGets();
  EXPECT_EQ(Fetch(resuming, cutDetails, second.path).second, reason) << "the same reason, at once";
  EXPECT_EQ(packageGets(), before);
  resuming.SetPackageTrust(PackageTrust{SignaturePolicy::Require, {ParseMinisignKey(signer.PublicKeyText())}});
  Fetch(resuming, cutDetails, second.path);
  EXPECT_EQ(packageGets(), before + 1) << "a reload of the keys judges the offer again";
}

// Signatures made by the minisign tool itself verify (skipped where the
// tool is not installed; CI installs it).
TEST(PackageSignature, VerifiesWhatTheMinisignToolSigned) {
  if (std::system("command -v minisign >/dev/null 2>&1") != 0) GTEST_SKIP() << "minisign is not installed";
  ScratchFolder dir;
  const std::string package = Package(70000);
  std::ofstream(dir / "tool.bin", std::ios::binary) << package;
  const std::string keys = "minisign -G -W -f -p " + dir / "k.pub" + " -s " + dir / "k.key" + " >/dev/null 2>&1";
  const std::string sign = "minisign -S -s " + dir / "k.key" + " -m " + dir / "tool.bin" + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(keys.c_str()), 0);
  ASSERT_EQ(std::system(sign.c_str()), 0);
  const std::string signature = ScratchFolder::Slurp(dir / "tool.bin.minisig");
  ScriptedListener server([&](const SeenRequest& r) {
    return r.path == "/tool.bin.minisig" ? Reply{200, signature} : Reply{200, package};
  });
  ScratchFolder into;
  auto options = FastOptions(into.path.string());
  options.packageTrust = PackageTrust{SignaturePolicy::Require, {ReadMinisignKeyFile(dir / "k.pub")}};
  HttpRestClient client(options);
  client.SetTenantEndpoint(ToWide(server.Base()), L"t");
  EXPECT_EQ(Fetch(client, Details("/tool.bin", package.size(), ""), into.path, "tool.bin"),
            std::make_pair(true, std::string()));
}
