#include "grafter/package_check.h"

#include <sys/wait.h>

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

#include "common/runner.h"

namespace {
std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// A member name: relative, no "..", at least one component.
bool member_name_safe(const std::string& name)
{
    if (name.empty() || name[0] == '/')
        return false;
    std::vector<std::string> parts = components(name);
    if (parts.empty())
        return false;
    for (const auto& part : parts)
        if (part == "..")
            return false;
    return true;
}

// A symbolic link's target, resolved from the link's own directory without touching the disk,
// must stay inside the link's module directory.
bool link_target_safe(const std::string& member, const std::string& target)
{
    if (target.empty() || target[0] == '/')
        return false;
    std::vector<std::string> place = components(member);
    const std::string module = place.front();
    place.pop_back();  // the directory the link lies in
    for (const auto& part : components(target)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (place.empty())
                return false;
            place.pop_back();
        } else {
            place.push_back(part);
        }
        if (place.empty() || place.front() != module)
            return false;
    }
    return !place.empty();
}

// Splits a listing line after its five leading fields (mode, owner, size, date, time).
bool member_of(const std::string& line, char& type, std::string& rest)
{
    size_t at = 0;
    for (int field = 0; field < 5; ++field) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        if (at >= line.size())
            return false;
        if (field == 0)
            type = line[at];
        while (at < line.size() && line[at] != ' ')
            ++at;
    }
    if (at >= line.size() || line[at] != ' ')
        return false;
    rest = line.substr(at + 1);
    return !rest.empty();
}

bool split_link(const std::string& rest, const std::string& marker, std::string& name, std::string& target)
{
    size_t at = rest.find(marker);
    // A name that holds the marker itself makes the line ambiguous.
    if (at == std::string::npos || rest.find(marker, at + 1) != std::string::npos)
        return false;
    name = rest.substr(0, at);
    target = rest.substr(at + marker.size());
    return true;
}

bool member_line_safe(const std::string& line)
{
    char type = 0;
    std::string rest;
    if (!member_of(line, type, rest))
        return false;
    // Escaped characters (tar writes a backslash for them) have no place in a module package.
    if (rest.find('\\') != std::string::npos)
        return false;
    switch (type) {
    case '-':
        // Busybox tar lists a hard link as a plain file with " -> target".
        if (rest.find(" -> ") != std::string::npos) {
            std::string name, target;
            if (!split_link(rest, " -> ", name, target) || !member_name_safe(name) || !member_name_safe(target))
                return false;
            return components(name).front() == components(target).front();
        }
        return member_name_safe(rest);
    case 'd':
        return member_name_safe(rest);
    case 'l': {
        std::string name, target;
        return split_link(rest, " -> ", name, target) && member_name_safe(name) && link_target_safe(name, target);
    }
    case 'h': {
        // A hard link names another member: it must be one of the same module directory.
        std::string name, target;
        if (!split_link(rest, " link to ", name, target) || !member_name_safe(name) || !member_name_safe(target))
            return false;
        return components(name).front() == components(target).front();
    }
    default:
        return false;  // device nodes, fifos and anything else a module has no use for
    }
}
}  // namespace

bool package_listing_safe(const std::string& listing)
{
    size_t start = 0;
    int members = 0;
    while (start < listing.size()) {
        size_t end = listing.find('\n', start);
        if (end == std::string::npos)
            end = listing.size();
        std::string line = listing.substr(start, end - start);
        start = end + 1;
        if (line.empty())
            continue;
        if (!member_line_safe(line))
            return false;
        ++members;
    }
    return members > 0;
}

bool package_members_safe(const std::string& package)
{
    std::string listing;
    int status = run_shell_capture("tar -tvzf " + package, &listing);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && package_listing_safe(listing);
}
