// Inside the configuration table (untConfigKeys.cpp): the rules of the rows that do not fit a
// number's range or a blank text, each referenced from its row, and the reads and writes of a
// row's field that both the rules and the table's walks make. Nothing outside the table includes
// this.
//
// Thread: the main thread during start-up, as the table's walks.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <variant>

#include "controller/untConfigKeys.h"

namespace configkeys {

// ---- A row's field ----

inline std::string& Text(const TConfigKey& k) { return *std::get<std::string*>(k.pField); }

inline bool IsNumber(const TConfigKey& k) {
  return std::holds_alternative<std::atomic<int32_t>*>(k.pField) || std::holds_alternative<int32_t*>(k.pField);
}

// A number's value, whatever field holds it.
inline int32_t IntValue(const TConfigKey& k) {
  if (auto* p = std::get_if<std::atomic<int32_t>*>(&k.pField)) return (*p)->load();
  return *std::get<int32_t*>(k.pField);
}

inline void SetInt(const TConfigKey& k, int32_t nValue) {
  if (auto* p = std::get_if<std::atomic<int32_t>*>(&k.pField)) return (*p)->store(nValue);
  *std::get<int32_t*>(k.pField) = nValue;
}

// ---- Rules of their own (CONFIG_CORRECT_CUSTOM); false stops the checks ----

bool CheckServerAddress(const TConfigKey& k);  // empty cannot be corrected: false
bool CheckPlainPort(const TConfigKey& k);      // 0 only when the TLS port serves
bool CheckTlsPort(const TConfigKey& k);        // and the plain port back when neither listens
bool CheckBindAddress(const TConfigKey& k);    // an address, or empty where the default is
bool CheckAllowList(const TConfigKey& k);      // the valid ranges; none valid: this host only
bool CheckAccessCode(const TConfigKey& k);     // printable ASCII without blanks
bool CheckWebTlsPair(const TConfigKey& k);     // the certificate's row; the key's goes with it
bool CheckSubjectPrefix(const TConfigKey& k);  // NATS subject tokens
bool CheckStreamName(const TConfigKey& k);     // one NATS token
bool CheckPacing(const TConfigKey& k);         // PASS or EVENT, and MyConfigInfo.tPacing from it
// The classification profile's rows, corrected before every other.
bool CheckProfileName(const TConfigKey& k);    // CLASSIC also puts back the CURRENT-only keys
bool CheckChannelTech(const TConfigKey& k);
bool CheckQueueNames(const TConfigKey& k);     // the names in force, sorted; refused lines dropped

// ---- How -check shows a text ----

// A server list with each "user:password@" or "token@" left out.
std::string UrlsWithoutSecrets(const std::string& sUrls);

}  // namespace configkeys
