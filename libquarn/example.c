/* Converts each document named on the command line with libquarn, and says
   what became of it:  cc example.c $(pkg-config --cflags --libs quarn) */
#include <stdio.h>

#include <quarn.h>

int main(int argc, char **argv) {
  quarn_options options;
  int i, failed = 0;
  quarn_options_init(&options);
  options.timeout_seconds = 60;
  for (i = 1; i < argc; ++i) {
    quarn_result result;
    if (quarn_convert_file(argv[i], NULL, &options, &result) == QUARN_WRITTEN) {
      printf("%s: %s, %llu characters (%s)\n", argv[i], result.output, result.text_chars,
             result.filter ? result.filter : "?");
    } else {
      printf("%s: %s: %s\n", argv[i], quarn_outcome_name(result.outcome), result.reason ? result.reason : "");
      failed = 1;
    }
    quarn_result_free(&result);
  }
  return failed;
}
