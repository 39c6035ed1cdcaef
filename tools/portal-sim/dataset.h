#pragma once
// The substitute portal's data: regions, organisations and houses, all derived from a seed.
//
// Nothing large is stored: every organisation and house is computed on demand from
// (seed, index), so country-scale sizes (30,000 organisations, 1,000,000 houses) cost a few
// small index tables only. The same Config always gives byte-identical texts, which is what
// lets tests compute the expected result without going through HTTP: the server answers with
// exactly the texts returned here.
//
// Variety that the harvester must survive is built in on purpose: Cyrillic everywhere, double
// quotes inside names, INNs with a leading zero, null and missing members, HTML entities and
// tags in chief names, TAB/CR/LF inside values, years as numbers, strings, null, "" and
// " 1990 ", houses without an address, organisations without houses, organisations with more
// than 1000 houses (several house pages) and organisations listed in two regions (same GUID).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace simdata {

struct Config {
  int regions = 5;            // 0..85 (the first N of the built-in region table)
  int orgs = 200;             // 0..30,000
  std::int64_t houses = 5000; // 0..1,000,000, spread over the organisations
  std::uint64_t seed = 1;
};

struct Region {
  std::string name;  // "Республика Адыгея"
  std::string code;  // "01"
  std::string guid;  // lowercase 8-4-4-4-12; fixed per region code, independent of the seed
};

class Dataset {
 public:
  static constexpr int kMaxRegions = 85;
  static constexpr int kMaxOrgs = 30000;
  static constexpr std::int64_t kMaxHouses = 1000000;

  // Values out of range are clamped into the limits above.
  explicit Dataset(const Config& config);

  const Config& config() const { return config_; }

  // Regions, in table order (also the order of "cities.txt").
  const std::vector<Region>& Regions() const { return regions_; }
  // Region index by GUID (case-insensitive); when guid is empty, by code. -1 if none.
  int FindRegion(std::string_view guid, std::string_view code) const;

  // Organisations of a region in search order (what the paged search lists), as indices.
  // An organisation listed in two regions appears in both lists.
  const std::vector<int>& RegionOrgs(int region) const { return regionOrgs_.at(region); }
  std::vector<std::string> RegionOrgGuids(int region) const;

  int OrgCount() const { return config_.orgs; }
  std::string OrgGuid(int org) const;                // lowercase
  int FindOrg(std::string_view guid) const;          // case-insensitive; -1 if unknown
  int OrgHomeRegion(int org) const { return homeRegion_.at(org); }  // -1 without regions
  int OrgSecondRegion(int org) const;                // -1 unless listed in a second region

  // Answer texts (UTF-8).
  // Count: bare decimal number of organisations in the region.
  std::string CountText(int region) const;
  // Search page: {"total":N,"organizationSummaryWithNsiList":[{"guid":"..."},...]}, pages
  // counted from 1; a page past the end has an empty list.
  std::string SearchPageJson(int region, std::int64_t pageIndex, std::int64_t elementsPerPage) const;
  // Card of an organisation (object; see the file comment for its variety).
  std::string CardJson(int org) const;
  // Additional information: {"additionalInfos":[...]}.
  std::string AdditionalInfoJson(int org) const;
  // Houses managed by an organisation; the totals add up to Config::houses.
  std::int64_t HouseTotal(int org) const { return houseTotal_.at(org); }
  // House page: {"total":N,"items":[...]}, pages counted from 1; past the end: empty items.
  std::string HousePageJson(int org, std::int64_t pageIndex, std::int64_t elementsPerPage) const;

  // "cities.txt" for this dataset: UTF-8 mark, lines "<name>=<code>$$$<guid>" ending in CR LF.
  std::string CitiesFile() const;

 private:
  std::string HouseJson(int org, std::int64_t house) const;

  Config config_;
  std::vector<Region> regions_;
  std::vector<std::vector<int>> regionOrgs_;
  std::vector<int> homeRegion_;
  std::vector<int> secondRegion_;
  std::vector<std::int64_t> houseTotal_;
  std::unordered_map<std::string, int> orgByGuid_;
};

// Lowercase copy of an ASCII string (GUIDs).
std::string AsciiLower(std::string_view s);

}  // namespace simdata
