// String arrays: NULL-terminated arrays of owned C strings.
#include "arr.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kStr2ArrMax = 1000;  // pieces kept by str2arr
constexpr size_t kJoinStep = 1024; // arr2str grows its buffer by this much

} // namespace

int in_array(char **arr, const char *str) {
    if (!arr || !str)
        return 0;
    for (; *arr; arr++)
        if (strcmp(*arr, str) == 0)
            return 1;
    return 0;
}

int arr_count(char **arr) {
    int n = 0;
    if (arr)
        while (arr[n])
            n++;
    return n;
}

void arr_free(char **arr) {
    if (!arr)
        return;
    for (char **p = arr; *p; p++)
        free(*p);
    free(arr);
}

char **arr_copy(char **arr) {
    if (!arr)
        return nullptr;
    int n = arr_count(arr);
    char **copy = static_cast<char **>(calloc(n + 1, sizeof(char *)));
    if (!copy)
        return nullptr;
    for (int i = 0; i < n; i++) {
        copy[i] = strdup(arr[i]);
        if (!copy[i]) {
            arr_free(copy);
            return nullptr;
        }
    }
    return copy;
}

char *arr2str(char **arr, char delim) {
    if (!arr)
        return nullptr;
    size_t cap = kJoinStep;
    char *buf = static_cast<char *>(malloc(cap));
    if (!buf)
        return nullptr;
    buf[0] = '\0';
    size_t used = 0;
    for (int i = 0; arr[i]; i++) {
        size_t len = strlen(arr[i]);
        if (used + len + 2 > cap) {
            size_t want = cap;
            while (used + len + 2 > want)
                want += kJoinStep;
            char *grown = static_cast<char *>(realloc(buf, want));
            if (!grown)
                return buf; // the text built so far
            buf = grown;
            cap = want;
        }
        if (i > 0)
            buf[used++] = delim;
        memcpy(buf + used, arr[i], len + 1);
        used += len;
    }
    return buf;
}

// Stores one piece; the array is made at its full size on the first piece.
static bool str2arr_keep(char ***arr, int *count, const char *start, size_t len) {
    if (!*arr) {
        *arr = static_cast<char **>(calloc(kStr2ArrMax + 1, sizeof(char *)));
        if (!*arr)
            return false;
    }
    char *piece = strndup(start, len);
    if (!piece)
        return false;
    (*arr)[(*count)++] = piece;
    return true;
}

char **str2arr(const char *str, char delim) {
    if (!str)
        return nullptr;
    char **arr = nullptr;
    int count = 0;
    const char *start = str;
    for (const char *p = str;; p++) {
        if (*p != delim && *p != '\0')
            continue;
        size_t len = static_cast<size_t>(p - start);
        if (len > 0 && !str2arr_keep(&arr, &count, start, len)) {
            arr_free(arr);
            return nullptr;
        }
        if (*p == '\0' || count >= kStr2ArrMax)
            break;
        start = p + 1;
    }
    return arr;
}
