#include "grafter/package_check.h"

#include "common/system.h"

#include <cctype>
#include <cstddef>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace
{
// The components of a member name or link target as they resolve on disk: empty ones (a
// leading "./", "a//b", a trailing "/") and "." stand for the directory itself and are dropped,
// so that "./a/b" has the module "a" as its first component, as it is unpacked.
std::vector<std::string> components(const std::string& path)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start && path.compare(start, end - start, ".") != 0)
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

// "./" (or "." and the like): the directory the package is unpacked into, as a package packed
// from "." lists it.
bool is_top_directory(const std::string& name)
{
    return !name.empty() && name[0] != '/' && components(name).empty();
}

// A symbolic link's target, resolved from the link's own directory without touching the disk,
// must stay inside the link's module directory.
bool link_target_safe(const std::string& member, const std::string& target)
{
    if (target.empty() || target[0] == '/')
        return false;
    std::vector<std::string> place = components(member);
    const std::string module = place.front();
    place.pop_back(); // the directory the link lies in
    bool climbing = true;
    for (const auto& part : components(target)) {
        if (part == "..") {
            // ".." after a name climbs from wherever that name leads on disk, which for a link
            // of the same package is not what the text says: "l3 -> l2/.." with "l2 -> .."
            // goes two levels up. Only leading ".." are taken.
            if (place.empty() || !climbing)
                return false;
            place.pop_back();
        } else {
            climbing = false;
            place.push_back(part);
        }
        if (place.empty() || place.front() != module)
            return false;
    }
    return !place.empty();
}

// True when `text` has the shape `pattern`: '9' stands for any digit, any other character for
// itself.
bool has_shape(const std::string& text, const char* pattern)
{
    size_t i = 0;
    for (; pattern[i] != '\0'; ++i) {
        if (i >= text.size())
            return false;
        const bool digit = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        if (pattern[i] == '9' ? !digit : text[i] != pattern[i])
            return false;
    }
    return i == text.size();
}

bool is_number(const std::string& text)
{
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return !text.empty();
}

// A user or group as tar lists it: a number, or a plain name (busybox's tar prints the names an
// archive carries even with --numeric-owner).
bool is_plain_owner_part(const std::string& part)
{
    if (part.empty())
        return false;
    for (char c : part)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.')
            return false;
    return true;
}

// "owner/group". Names in an archive may hold blanks and slashes, which would shift the fields
// and end up in the member name: anything but one slash between plain parts is refused.
bool is_plain_owner(const std::string& field)
{
    const size_t slash = field.find('/');
    return slash != std::string::npos && is_plain_owner_part(field.substr(0, slash))
        && is_plain_owner_part(field.substr(slash + 1));
}

// Splits a listing line into its type and what follows its five leading fields: mode, uid/gid,
// size, date, time (to the minute from GNU tar, to the second from busybox), then one blank.
// Each field must have its exact shape; a line that does not parse is refused.
bool member_of(const std::string& line, char& type, std::string& rest)
{
    std::vector<std::string> fields;
    size_t at = 0;
    while (fields.size() < 5) {
        while (at < line.size() && line[at] == ' ')
            ++at;
        const size_t end = line.find(' ', at);
        if (at >= line.size() || end == std::string::npos)
            return false;
        fields.push_back(line.substr(at, end - at));
        at = end;
    }
    if (fields[0].size() != 10 || !is_plain_owner(fields[1]) || !is_number(fields[2])
        || !has_shape(fields[3], "9999-99-99") || !(has_shape(fields[4], "99:99") || has_shape(fields[4], "99:99:99")))
        return false;
    type = fields[0][0];
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
        return is_top_directory(rest) || member_name_safe(rest);
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
        return false; // device nodes, fifos and anything else a module has no use for
    }
}
} // namespace

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
    int status = run_shell_capture("tar --numeric-owner -tvzf " + package, &listing);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && package_listing_safe(listing);
}
