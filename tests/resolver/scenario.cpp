#include "scenario.h"

#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include "testing/dependencies.h"
#include "testing/testing.h"

namespace updater::testing {
namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        if (!trim(part).empty())
            parts.push_back(trim(part));
    }
    return parts;
}

std::vector<std::string> words(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> result;
    for (std::string word; in >> word;)
        result.push_back(word);
    return result;
}

void addEntries(DependencySet& set, const std::string& list)
{
    for (const std::string& entry : split(list, ';'))
        set.insert(parseDependency(entry));
}

void applyLine(Scenario& scenario, const std::string& key, const std::string& value)
{
    static const std::map<std::string, NameSet Scenario::*> nameSets = {
        {"include", &Scenario::include}, {"exclude", &Scenario::exclude},
        {"groups", &Scenario::excludedGroups}, {"pull", &Scenario::pull}};
    if (key == "installed" || key == "repo") {
        addPackage(key == "repo" ? scenario.repository : scenario.installed, parsePackageLine(value));
    } else if (auto set = nameSets.find(key); set != nameSets.end()) {
        std::vector<std::string> names = words(value);
        scenario.*set->second = NameSet(names.begin(), names.end());
    } else if (key == "terminate") {
        scenario.terminate = value == "yes";
    } else if (key == "provide") {
        scenario.provide = parseDependency(value);
    } else if (key == "selected" || key == "closed" || key == "complete") {
        scenario.expected[key] = words(value);
    } else if (key == "open" || key == "failing") {
        scenario.expected[key] = split(value, ';');
    } else {
        throw std::runtime_error("unknown key '" + key + "'");
    }
}

} // namespace

Package parsePackageLine(const std::string& text)
{
    std::vector<std::string> fields = split(text, '|');
    std::vector<std::string> head = fields.empty() ? std::vector<std::string>() : words(fields[0]);
    if (head.size() != 2)
        throw std::runtime_error("bad package '" + text + "'");
    Package package{PooledString(head[0])};
    package.evr = Evr::parse(head[1]);
    for (size_t i = 1; i < fields.size(); ++i) {
        size_t blank = fields[i].find(' ');
        std::string key = fields[i].substr(0, blank);
        std::string value = blank == std::string::npos ? std::string() : trim(fields[i].substr(blank));
        static const std::map<std::string, DependencySet Package::*> entries = {
            {"provides", &Package::provides}, {"requires", &Package::requires_}, {"obsoletes", &Package::obsoletes}};
        if (entries.contains(key))
            addEntries(package.*entries.at(key), value);
        else if (key == "group")
            package.group = PooledString(value);
        else if (key == "location")
            package.location = StoredString(value);
        else
            throw std::runtime_error("unknown package key '" + key + "'");
    }
    return package;
}

std::vector<Scenario> loadScenarios(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::vector<Scenario> scenarios;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (trim(line).empty() || line[0] == '#')
            continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            throw std::runtime_error(path + ":" + std::to_string(number) + ": no key");
        std::string key = trim(line.substr(0, colon));
        std::string value = trim(line.substr(colon + 1));
        if (key == "scenario") {
            scenarios.push_back({});
            scenarios.back().title = value;
            scenarios.back().line = number;
        } else if (scenarios.empty()) {
            throw std::runtime_error(path + ":" + std::to_string(number) + ": outside a scenario");
        } else {
            applyLine(scenarios.back(), key, value);
        }
    }
    return scenarios;
}

std::string testName(const Scenario& scenario)
{
    std::string name;
    for (char c : scenario.title)
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

} // namespace updater::testing
