/* A host application in C: starts the library through its C interface under its own name,
 * with the library's warnings on its standard error, records a session's worth of activity,
 * receives a deep link and makes a tracking link. It flushes the events, then waits until the
 * service has received them, the user's profile and the handled error, and says so.
 *
 *   tavrel_mmp_c_host PARTNER_CODE APP_SECRET SERVICE_LOG
 *
 * SERVICE_LOG is the printout of the local measurement service (build/tools/tavrel_mmp_service),
 * for every request received its line ("POST /partner/event/log"), then its headers and its
 * body, indented.
 * Build: cc -std=c11 main.c $(pkg-config --cflags --libs tavrel_mmp_c) -Wl,-rpath,<prefix>/lib */
#define _POSIX_C_SOURCE 200809L

#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <tavrel_mmp/tavrel_mmp_c.h>

/* Longer than the library's request time-out: a link request always ends within it. */
#define WAIT_SECONDS 90

static const char* const kDeepLink = "chost://promo/spring?code=C11";

/* What must reach the service: a text in the body of a request to a path. */
struct arrival {
  const char* what;
  const char* path;
  const char* needle;
  int seen;
};

/* The outcome of the link request; written on the transport's thread. */
struct link_request {
  atomic_int done;
  char text[512];
};

static void on_deeplink(const char* url, void* user) {
  /* On the thread that opened the URL; once the service has answered whether a deferred link
   * waited, possibly again on a library thread. The text lives only during the call. */
  printf("c_host: deep link received: %s\n", url);
  if (strcmp(url, kDeepLink) == 0) atomic_store((atomic_int*)user, 1);
}

static void on_link(const char* result_json, const char* error_json, void* user) {
  struct link_request* link = user;
  snprintf(link->text, sizeof link->text, "%s", result_json ? result_json : error_json);
  atomic_store(&link->done, result_json ? 1 : -1);
}

static void on_log_line(int level, const char* line, void* user) {
  /* On the library's logging thread; 0 error, 1 warning, 2 information, 3 debug. */
  (void)user;
  if (level <= 1) fprintf(stderr, "c_host: %s\n", line);
}

static void pause_briefly(void) {
  const struct timespec interval = {0, 200 * 1000 * 1000};
  nanosleep(&interval, NULL);
}

/* Reads the service's printout and marks the arrivals it shows; 1 once all are seen. */
static int all_arrived(const char* service_log, struct arrival* arrivals, size_t count) {
  FILE* log = fopen(service_log, "r");
  if (!log) return 0;
  char* line = NULL;
  size_t capacity = 0;
  char path[256] = "";
  int in_body = 0;
  while (getline(&line, &capacity, log) > 0) {
    if (line[0] != ' ') { /* "POST /partner/event/log": headers follow, then the body */
      const char* space = strchr(line, ' ');
      snprintf(path, sizeof path, "%s", space ? space + 1 : "");
      path[strcspn(path, "\n")] = '\0';
      in_body = 0;
    } else if (in_body || strncmp(line, "  {", 3) == 0) {
      in_body = 1;
      for (size_t i = 0; i < count; ++i) {
        if (strcmp(path, arrivals[i].path) == 0 && strstr(line, arrivals[i].needle))
          arrivals[i].seen = 1;
      }
    }
  }
  free(line);
  fclose(log);
  size_t seen = 0;
  for (size_t i = 0; i < count; ++i) seen += arrivals[i].seen;
  return seen == count;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s PARTNER_CODE APP_SECRET SERVICE_LOG\n", argv[0]);
    return 2;
  }
  tavrel_mmp_set_log_sink(on_log_line, NULL);
  tavrel_mmp_init(argv[1], argv[2],
                  "{\"showLog\": true, \"autoTrackingScreen\": false,"
                  " \"bundleId\": \"com.example.c_host\", \"appVersion\": \"1.1.0\"}");
  /* Asked for at once: the request goes out with the session the start brings. */
  static struct link_request link; /* static: the completion comes on another thread */
  tavrel_mmp_create_link("{\"fields\": [{\"key\": \"utm_source\", \"value\": \"c_host\"}]}",
                         on_link, &link);

  tavrel_mmp_log_event("c_host_opened", "{\"source\": \"c_host\", \"build\": 11}");
  tavrel_mmp_set_current_screen("Home");
  tavrel_mmp_set_product_list(
      "cart",
      "[{\"p_id\": \"sku-1\", \"p_name\": \"Running shoe\", \"p_price\": \"59.90\","
      " \"p_quantity\": 2, \"p_categories\": [{\"c_id\": \"c-7\", \"c_name\": \"Footwear\"}]}]");
  tavrel_mmp_set_revenue("order-1001", 119.80, "EUR", "{\"coupon\": \"SPRING\"}");
  tavrel_mmp_log_event("c_host_purchase", NULL);
  tavrel_mmp_set_user_info(
      "{\"userId\": \"c-host-user-7\", \"name\": \"Ada\", \"email\": \"ada@example.com\","
      " \"age\": 36, \"country\": \"NL\", \"city\": \"Utrecht\"}");
  tavrel_mmp_record_error("CheckoutError", "c_host checkout failed\n  at main.c:main");

  static atomic_int deeplink_ok; /* static: the callback may come from a library thread */
  tavrel_mmp_handle_deeplink(on_deeplink, &deeplink_ok);
  tavrel_mmp_open_url(kDeepLink);

  /* The events leave now rather than at the next tick. */
  if (!tavrel_mmp_flush(WAIT_SECONDS * 1000))
    fprintf(stderr, "c_host: the flush did not see every event accepted\n");

  struct arrival arrivals[] = {
      {"event c_host_opened", "/partner/event/log", "\"c_host_opened\"", 0},
      {"event c_host_purchase", "/partner/event/log", "\"c_host_purchase\"", 0},
      {"profile", "/partner/device-info/update", "\"c-host-user-7\"", 0},
      {"error", "/partner/crash/log", "c_host checkout failed", 0},
  };
  const size_t count = sizeof arrivals / sizeof arrivals[0];
  const time_t deadline = time(NULL) + WAIT_SECONDS;
  while ((!all_arrived(argv[3], arrivals, count) || !atomic_load(&link.done)) &&
         time(NULL) < deadline)
    pause_briefly();

  const int link_outcome = atomic_load(&link.done);
  int ok = atomic_load(&deeplink_ok) && link_outcome == 1;
  if (!atomic_load(&deeplink_ok))
    fprintf(stderr, "c_host: the deep link did not reach the callback\n");
  if (link_outcome == 0) fprintf(stderr, "c_host: the tracking link never came\n");
  if (link_outcome < 0) fprintf(stderr, "c_host: no tracking link: %s\n", link.text);
  for (size_t i = 0; i < count; ++i) {
    if (!arrivals[i].seen) fprintf(stderr, "c_host: the %s never arrived\n", arrivals[i].what);
    ok = ok && arrivals[i].seen;
  }
  if (!ok) return 1;
  printf("c_host: 2 events, the profile and the error reached the service; link %s\n", link.text);
  return 0;
}
