// The message table against a copy written out here, byte for byte in Windows-1252 (the relay's
// inner code page): a text changed in the table, a lost accent, a trailing blank or a carriage
// return gone, or two entries swapped, all show up. The copy is independent of the table's own
// UTF-8 source and of its conversion, so it proves what the relay logs and shows.
#include "base/untMessage.h"

#include <gtest/gtest.h>

#include <iterator>
#include <string>

namespace {

// "\r" is one carriage return; accented letters are their Windows-1252 bytes (e7 c-cedilla,
// e3 a-tilde, ed i-acute, ea e-circumflex). A byte escape followed by a hexadecimal letter is
// closed with a string break ("\xED" "fico").
const char* const EXPECTED[] = {
    /*  0 */ "Telvane",
    /*  1 */ "1.0",
    /*  2 */ "0005 - Erro ao ler o arquivo de configura\xE7\xE3o.\rContate o administrador do sistema.",
    /*  3 */ "0011 - Erro geral ao criar os componentes de Auditoria. \rContate o administrador do sistema.",
    /*  4 */ "0012 - Erro geral no socket. (",
    /*  5 */ "0013 - Erro na inicializa\xE7\xE3o do mecanismo de recep\xE7\xE3o de eventos gerais. \r"
             "Contate o administrador do sistema.",
    /*  6 */ "0014 - Erro na inicializa\xE7\xE3o do mecanismo de recep\xE7\xE3o de eventos de fila (Global). \r"
             "Contate o administrador do sistema.",
    /*  7 */ "0015 - Erro na inicializa\xE7\xE3o do mecanismo de recep\xE7\xE3o de eventos de fila (Espec\xED"
             "fico). \rContate o administrador do sistema.",
    /*  8 */ "0016 - Erro na inicializa\xE7\xE3o do sistema de Logs. \rContate o administrador do sistema.",
    /*  9 */ "0017 - Erro na inicializa\xE7\xE3o do mecanismo de recep\xE7\xE3o de eventos de ramal (Global). \r"
             "Contate o administrador do sistema.",
    /* 10 */ "0018 - Erro na inicializa\xE7\xE3o do mecanismo de recep\xE7\xE3o de eventos de ramal (Espec\xED"
             "fico). \rContate o administrador do sistema.",
    /* 11 */ "0019 - Erro na inicializa\xE7\xE3o do mecanismo de recep\xE7\xE3o de eventos de estacionamento de "
             "chamadas (Global). \rContate o administrador do sistema.",
    /* 12 */ "0020 - Erro na inicializa\xE7\xE3o do mecanismo de recep\xE7\xE3o de eventos de estacionamento de "
             "chamadas (Espec\xED" "fico). \rContate o administrador do sistema.",
    /* 13 */ "Conex\xE3o encerrada no servidor AMI (",
    /* 14 */ "Timeout no processo de Auto Reconex\xE3o (Seg.): ",
    /* 15 */ "Iniciando processo de auditoria...",
    /* 16 */ "Finalizando processo de auditoria!",
    /* 17 */ "Timeout no processo de auditoria (Min.): ",
    /* 18 */ "Conectado ao Servidor! (",
    /* 19 */ "Conectando ao Servidor! (",
    /* 20 */ "Desconectado do Servidor! (",
    /* 21 */ "Iniciano processo de conex\xE3o ao Servidor AMI (",
    /* 22 */ "Iniciando processo de desconex\xE3o ao Servidor AMI (",
    /* 23 */ "Iniciando processo de autentica\xE7\xE3o ao Servidor AMI (",
    /* 24 */ "Autentica\xE7\xE3o concluida com sucesso no servidor AMI (",
    /* 25 */ "Falha no processo de autentica\xE7\xE3o no servidor AMI (",
    /* 26 */ "Cliente conectado e recebendo eventos do servidor AMI (",
    /* 27 */ "Conex\xE3o encerrada no servidor AMI (",
    /* 28 */ "Conex\xE3o Aceita! (",
    /* 29 */ "Cliente Conectado! (",
    /* 30 */ "Cliente Desconectado! (",
    /* 31 */ "Erro ao processar Cliente! (",
    /* 32 */ "Mensagem recebida do Cliente! (",
    /* 33 */ "Refer\xEAncia Interna: ",
    /* 34 */ "Refer\xEAncia Socket: ",
    /* 35 */ "Cliente em modo Listen!",
    /* 36 */ "Iniciano processo de abertura do Servidor Proxy (Porta: ",
    /* 37 */ "Iniciando processo de fechamento do Servidor Proxy (",
    /* 38 */ "Iniciando processo de autentica\xE7\xE3o para o Cliente (",
    /* 39 */ "Processo de autentica\xE7\xE3o Step 2, para o Cliente (",
    /* 40 */ "Processo de autentica\xE7\xE3o Step 3, para o Cliente (",
    /* 41 */ "Processo de autentica\xE7\xE3o Step 4, para o Cliente (",
    /* 42 */ "Processo de autentica\xE7\xE3o Step 5, para o Cliente (",
    /* 43 */ "Autentica\xE7\xE3o concluida com sucesso para o Cliente (",
    /* 44 */ "Falha no processo 1 de autentica\xE7\xE3o para o Cliente (",
    /* 45 */ "Falha no processo 2 de autentica\xE7\xE3o para o Cliente (",
    /* 46 */ "Falha no processo 3 de autentica\xE7\xE3o para o Cliente (",
    /* 47 */ "Falha no processo 4 de autentica\xE7\xE3o para o Cliente (",
    /* 48 */ "Falha no processo 5 de autentica\xE7\xE3o para o Cliente (",
    /* 49 */ "Falha no processo 6 de autentica\xE7\xE3o para o Cliente (",
    /* 50 */ "Falha no processo 7 de autentica\xE7\xE3o para o Cliente (",
    /* 51 */ "Falha no processo 8 de autentica\xE7\xE3o para o Cliente (",
    /* 52 */ "Falha no processo 9 de autentica\xE7\xE3o para o Cliente (",
    /* 53 */ "Falha no processo 10 de autentica\xE7\xE3o para o Cliente (",
    /* 54 */ "Cliente conectado e recebendo eventos (",
    /* 55 */ "Iniciando processo de altera\xE7\xE3o de Filas, para o Cliente (",
    /* 56 */ "Iniciando processo de altera\xE7\xE3o de Ramais, para o Cliente (",
    /* 57 */ "Iniciando processo de altera\xE7\xE3o de Estacionamento, para o Cliente (",
    /* 58 */ "Conex\xE3o encerrada para o Cliente (",
    /* 59 */ "Total MSGs: ",
    /* 60 */ "WP: ",
    /* 61 */ "RP: ",
    /* 62 */ "Diff: ",
    /* 63 */ "Queue: ",
    /* 64 */ "Peer: ",
    /* 65 */ "Parkinglot: ",
    /* 66 */ "Not Event: ",
};

static_assert(std::size(EXPECTED) == 67, "the copy holds every entry");

TEST(MessageTable, EveryTextMatchesTheCopyByteForByte) {
  ASSERT_EQ(MESSAGE_COUNT, 67);
  for (int n = 0; n < MESSAGE_COUNT; ++n) EXPECT_EQ(Msg(n), std::string(EXPECTED[n])) << "message " << n;
}

TEST(MessageTable, NumbersOutsideTheTableGiveAnEmptyText) {
  for (int n : {-1, 67, 1000}) EXPECT_EQ(Msg(n), "") << n;
}

}  // namespace
