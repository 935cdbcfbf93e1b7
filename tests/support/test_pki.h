// Certificates and revocation lists for the trust tests, made at run time so no
// private key is ever kept in the tree.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace ualib_test {

struct IssuedPair {
  std::string certificate;  // DER
  std::string key;          // DER
};

// A certificate authority with a fresh RSA key, as a plant's own CA would be.
class TestAuthority {
 public:
  TestAuthority();
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  const std::string& Certificate() const;  // DER
  // A server certificate naming the application URI, valid from/until the given
  // number of days from now; issued by this authority, or signed by its own key.
  IssuedPair Issue(const std::string& uri, int serial, int fromDays, int untilDays, bool selfSigned = false) const;
  // A revocation list of this authority naming the serials (DER).
  std::string RevocationList(const std::vector<int>& serials) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ualib_test
