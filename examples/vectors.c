/* Vectors: a growable array of any element type, owned by the caller's cstd_vector_ record.
 *
 * Plain elements are copied as bytes. Elements that own something get an element table: how to
 * construct, copy, assign and destroy one. Here each element owns a copy of a text, so copying
 * the vector copies the texts and destructing it frees them. Every operation returns a status;
 * a failed one leaves the vector as it was. */
#include <stdio.h>
#include <string.h>

#include "pmtsys.h"

typedef struct city {
  char* name; /* owned: allocated with the library, freed by cityDestruct */
  int32_t population;
} city;

static csys_status cityConstruct(void* element, const cstd_vector_mtable* mtable) {
  (void)mtable;
  memset(element, 0, sizeof(city));
  return CSYS_OK;
}

static csys_status cityConstructCopy(void* element, const void* source) {
  city* to = (city*)element;
  const city* from = (const city*)source;
  const intptr_t size = (intptr_t)strlen(from->name) + 1;
  to->name = NULL;
  to->population = from->population;
  if (CSYS_FAILED(csys_memory_alloc(size, &to->name))) return CSYS_E_OUT_OF_MEMORY;
  memcpy(to->name, from->name, (size_t)size);
  return CSYS_OK;
}

static csys_status cityDestruct(void* element) {
  return csys_memory_free(&((city*)element)->name);
}

/* Assignment as destroy-then-copy keeps this example short. */
static csys_status cityAssign(void* dest, const void* source) {
  const csys_status status = cityDestruct(dest);
  return CSYS_FAILED(status) ? status : cityConstructCopy(dest, source);
}

static const cstd_vector_vtable kCityTable = {cityConstruct, cityConstructCopy, cityAssign,
                                              cityDestruct, -1};

int main(void) {
  static const int32_t kSquares[] = {1, 4, 9, 16};
  cstd_vector_ numbers;
  cstd_vector_ cities;
  cstd_vector_ copy;
  int32_t* values = NULL;
  city* each = NULL;
  int64_t size = 0;
  int64_t i;
  int32_t sum = 0;
  char name[16];
  csys_status status;

  /* Plain elements: built from a block, grown one by one. */
  status = cstd_vector__constructFromBlock(&numbers, sizeof(int32_t), kSquares, kSquares + 4);
  for (i = 5; !CSYS_FAILED(status) && i <= 6; ++i) {
    const int32_t square = (int32_t)(i * i);
    status = cstd_vector__pushBack(&numbers, &square);
  }
  if (!CSYS_FAILED(status)) status = cstd_vector__getBeginSize(&numbers, (void**)&values, &size);
  for (i = 0; !CSYS_FAILED(status) && i < size; ++i) sum += values[i];
  printf("%lld squares, sum %d\n", (long long)size, sum);
  cstd_vector__destruct(&numbers);
  if (CSYS_FAILED(status) || sum != 91) return 1;

  /* Elements that own memory, through their table. */
  status = cstd_vector__constructWithVtable(&cities, 0, sizeof(city), &kCityTable);
  for (i = 0; !CSYS_FAILED(status) && i < 3; ++i) {
    city c;
    snprintf(name, sizeof name, "city %lld", (long long)i + 1);
    c.name = name; /* pushBack copies it through cityConstructCopy */
    c.population = (int32_t)(1000 * (i + 1));
    status = cstd_vector__pushBack(&cities, &c);
  }
  if (CSYS_FAILED(status)) return 1;
  status = cstd_vector__constructCopy(&copy, &cities); /* deep: each name is copied */
  cstd_vector__destruct(&cities);                      /* frees the original names */
  if (!CSYS_FAILED(status)) status = cstd_vector__getBeginSize(&copy, (void**)&each, &size);
  for (i = 0; !CSYS_FAILED(status) && i < size; ++i) {
    printf("%s: %d\n", each[i].name, each[i].population);
  }
  cstd_vector__destruct(&copy);
  return CSYS_FAILED(status) || size != 3 ? 1 : 0;
}
