/* String arrays: NULL-terminated arrays of owned C strings. */
#ifndef ZPM_ARR_H
#define ZPM_ARR_H

#ifdef __cplusplus
extern "C" {
#endif

int in_array(char **arr, const char *str);
int arr_count(char **arr);
char **arr_copy(char **arr);
char *arr2str(char **arr, char delim);
char **str2arr(const char *str, char delim);
void arr_free(char **arr);

#ifdef __cplusplus
}
#endif

#endif
