#include "common/settings_file.h"

#include "common/str_util.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace
{
constexpr size_t line_buffer_size = 16384;
char line_buffer[line_buffer_size];
} // namespace

file_ptr settings_open(const char* path)
{
    return file_ptr(path ? fopen(path, "r") : nullptr);
}

const char* settings_find(FILE* file, const char* key)
{
    if (!file || !key)
        return nullptr;
    size_t key_len = strlen(key);
    while (fgets(line_buffer, sizeof line_buffer, file)) {
        line_buffer[strcspn(line_buffer, "\r")] = '\0';
        line_buffer[strcspn(line_buffer, "\n")] = '\0';
        if (char* quote = strrchr(line_buffer, '"'))
            *quote = '\0';
        char* eq = strchr(line_buffer, '=');
        if (!eq)
            continue;
        if (static_cast<size_t>(eq - line_buffer) != key_len || strncasecmp(line_buffer, key, key_len) != 0)
            continue;
        char* value = eq + 1;
        if (*value == '"')
            ++value;
        return value;
    }
    return nullptr;
}

std::string settings_get_text(FILE* file, const char* key)
{
    if (!file)
        return std::string();
    rewind(file);
    const char* value = settings_find(file, key);
    return value ? std::string(value) : std::string();
}

unsigned settings_get_uint(FILE* file, const char* key)
{
    if (!file)
        return 0;
    rewind(file);
    const char* value = settings_find(file, key);
    unsigned number = 0;
    if (!value || sscanf(value, "%u", &number) != 1)
        return 0;
    return number;
}

int settings_put_text(FILE* file, const char* key, const std::string& value)
{
    if (!file)
        return 0;
    const char* v = value.c_str();
    if (strchr(v, ' '))
        return fprintf(file, "%s=\"%.16000s\"\n", key, v);
    return fprintf(file, "%s=%.16000s\n", key, v);
}

int settings_put_uint(FILE* file, const char* key, unsigned value, bool keep_zero)
{
    if (!file)
        return 0;
    if (value == 0 && !keep_zero)
        return fprintf(file, "%s=\n", key);
    return fprintf(file, "%s=%u\n", key, value);
}

int settings_put_flag(FILE* file, const char* key, int value)
{
    if (!file)
        return 0;
    return fprintf(file, "%s=%u\n", key, value ? 1U : 0U);
}

bool settings_load_map(const std::string& path, settings_map& map)
{
    // Read with stdio: a file stream would bring the whole of the C++ locale machinery into
    // the program, hundreds of kilobytes that the router keeps resident for one loop.
    file_ptr in(fopen(path.c_str(), "r"));
    if (!in)
        return true;
    char* buffer = nullptr;
    size_t size = 0;
    ssize_t length;
    while ((length = getline(&buffer, &size, in.get())) >= 0) {
        std::string line(buffer, static_cast<size_t>(length));
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        std::string key, value;
        split_key_value(line, '=', key, value, true);
        map.emplace(std::move(key), std::move(value));
    }
    free(buffer);
    return !ferror(in.get());
}
