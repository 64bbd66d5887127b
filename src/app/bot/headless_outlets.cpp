#include "app/bot/headless_outlets.h"
