// The real data beside the repository (../shared: transactions and IDLs), for
// the tests that read it; they skip without it.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace brisquel::tx::testing {

inline const std::filesystem::path kShared = BRISQUEL_SOURCE_DIR "/../shared";
inline const std::filesystem::path kTransactions = kShared / "transactions";
inline const std::filesystem::path kIdls = kShared / "idls";

inline std::string slurp(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Every transaction object of the real files, as compact JSON text, in file order.
struct RealTx {
  std::string name, text;
};

inline const std::vector<RealTx>& real_transactions() {
  static const std::vector<RealTx> all = [] {
    namespace dom = simdjson::dom;
    std::vector<RealTx> out;
    dom::parser parser;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(kTransactions)) {
      if (entry.path().extension() == ".json") files.push_back(entry.path());
    }
    std::ranges::sort(files);
    for (const auto& path : files) {
      dom::element doc = parser.load(path.string());
      const std::string name = path.filename().string();
      std::vector<dom::element> found;
      if (name.starts_with("simowment")) {
        found = {doc["base64_transaction_response"], doc["json_parsed_transaction_response"]};
      } else if (doc.is_array()) {
        for (dom::element e : doc.get_array()) found.push_back(e);
      } else {
        found.push_back(doc);
      }
      for (dom::element e : found) {
        if (dom::element result; e["result"].get(result) == simdjson::SUCCESS) e = result;
        out.push_back({name, simdjson::minify(e)});
      }
    }
    return out;
  }();
  return all;
}

}  // namespace brisquel::tx::testing
