/* ipp_attributes: asks a printer for its description over IPP through libkivo8's exported
 * interface and prints a few attributes, whether it prints without a driver and, over
 * ipps://, its certificate's fingerprint.
 *
 *   ipp_attributes URI [TIMEOUT_MS]
 *
 * Exit status: 0 the printer answered, 1 it did not (or an error), 2 bad arguments. */
#include <kivo8/kivo8.h>
#include <stdio.h>
#include <stdlib.h>

/* Device text may hold anything: control characters are shown as \xHH. */
static void show_text(const char *text, uint32_t length) {
  uint32_t i;
  for (i = 0; i < length; ++i) {
    unsigned char c = (unsigned char)text[i];
    if (c < 0x20 || c == 0x7f)
      printf("\\x%02x", c);
    else
      putchar(c);
  }
}

static void show(const kivo_ipp_result *r, const char *name) {
  const kivo_ipp_attribute *a = kivo_ipp_find(r, name);
  uint32_t i;
  printf("%s:", name);
  for (i = 0; a != NULL && i < a->value_count; ++i) {
    const kivo_ipp_value *v = &a->values[i];
    putchar(' ');
    if (v->tag == KIVO_IPP_TAG_INTEGER || v->tag == KIVO_IPP_TAG_ENUM)
      printf("%ld", (long)v->integer);
    else
      show_text(v->text, v->text_length);
  }
  putchar('\n');
}

int main(int argc, char **argv) {
  kivo_ipp_options options = {0};
  kivo_ipp_result *result = NULL;
  int32_t rc;
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: ipp_attributes URI [TIMEOUT_MS]\n");
    return 2;
  }
  options.size = sizeof options;
  options.timeout_ms = argc == 3 ? (uint32_t)strtoul(argv[2], NULL, 10) : 5000;
  rc = kivo_ipp_get_printer_attributes(argv[1], &options, &result);
  if (rc != KIVO_IPP_OK) {
    fprintf(stderr, "ipp_attributes: %s\n", result != NULL ? result->error : "out of memory");
    kivo_ipp_result_free(result);
    return 1;
  }
  printf("uri: %s\n", result->uri);
  show(result, "printer-make-and-model");
  show(result, "printer-state");
  show(result, "document-format-supported");
  printf("driverless: %s\n", kivo_ipp_driverless(result) ? "yes" : "no");
  if (result->tls) printf("certificate SHA-256: %s\n", result->tls_sha256);
  kivo_ipp_result_free(result);
  return 0;
}
