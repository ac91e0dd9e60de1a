// Whether the publisher's standard output is a terminal, where progress may rewrite a line.
#pragma once

bool outputIsTerminal();
