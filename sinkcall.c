#include "common.h"
/* Sinks on platform threads that call methods: Disconnect from a Value sink, Destroy from a Value sink while the
 * application thread is inside Disconnect / Unsubscribe, Connect of another client from a Disconnected sink. */
typedef struct { VelmoraBLE_BLEClient* self; int mode; atomic_int values, fired, after; atomic_int gone; } Ctx;
static int32_t Sink(void* ctx, int32_t ev, int32_t n, intptr_t* p, int32_t* cb) {
  Ctx* x = ctx;
  if (x->gone) { x->after++; }
  if (ev == VELMORABLE_EVENT_VALUE) {
    x->values++;
    if (x->mode == 1 && x->values == 3 && !x->fired) { x->fired = 1; int32_t r = Do0(x->self, VELMORABLE_METHOD_DISCONNECT); printf("sink disconnect %d\n", r); }
    if ((x->mode == 2 || x->mode == 3) && x->values >= 3 && !x->fired) { x->fired = 1; msleep(150); x->gone = 1; VelmoraBLE_BLEClient_Destroy(x->self); }
  }
  return 0;
}
static const char* S = "000100000000", *C = "000100030000";
int main(int argc, char** argv) {
  int mode = atoi(argv[1]);
  Ctx x = {.mode = mode};
  x.self = VelmoraBLE_BLEClient_Create(Sink, &x, 0);
  Connect(x.self, "C0FFEE000010"); Discover(x.self, 0); Do2(x.self, VELMORABLE_METHOD_SUBSCRIBE, S, C);
  if (mode == 1) {
    for (int i = 0; i < 100 && !x.fired; i++) msleep(10);
    msleep(200);
    int v = x.values; msleep(300);
    printf("values after sink's disconnect: %d; server id '%s' svc count %d\n", x.values - v, (const char*)VelmoraBLE_BLEClient_Get(x.self, 20, 0), (int)VelmoraBLE_BLEClient_Get(x.self, 23, 0));
    int32_t r = Connect(x.self, "C0FFEE000010"); Discover(x.self, 0); int32_t r2 = Do2(x.self, VELMORABLE_METHOD_SUBSCRIBE, S, C);
    v = x.values; msleep(300); printf("reconnect %d sub %d gains %d\n", r, r2, x.values - v);
    Do0(x.self, 5); VelmoraBLE_BLEClient_Destroy(x.self);
  } else if (mode == 2) {
    while (x.values < 2) msleep(1);
    int32_t r = Do0(x.self, VELMORABLE_METHOD_DISCONNECT);   /* the sink destroys meanwhile */
    printf("disconnect during sink's destroy: %d\n", r);
  } else if (mode == 3) {
    while (x.values < 2) msleep(1);
    int32_t r = Do2(x.self, VELMORABLE_METHOD_UNSUBSCRIBE, S, C);
    printf("unsubscribe during sink's destroy: %d\n", r);
  }
  msleep(300);
  printf("events after destroy: %d\n", x.after);
  return 0;
}
