#include "base/untMessage.h"

#include <array>

#include "base/untCodePage.h"

namespace {

// Written in UTF-8 here for readability; converted once to Windows-1252 on first use.
// "\r" is one carriage return, as the texts require.
const char* const MESSAGES_UTF8[MESSAGE_COUNT] = {
    /*  0 */ "Telvane",
    /*  1 */ "1.0",
    /*  2 */ "0005 - Erro ao ler o arquivo de configuração.\rContate o administrador do sistema.",
    /*  3 */ "0011 - Erro geral ao criar os componentes de Auditoria. \rContate o administrador do sistema.",
    /*  4 */ "0012 - Erro geral no socket. (",
    /*  5 */ "0013 - Erro na inicialização do mecanismo de recepção de eventos gerais. \rContate o administrador do sistema.",
    /*  6 */ "0014 - Erro na inicialização do mecanismo de recepção de eventos de fila (Global). \rContate o administrador do sistema.",
    /*  7 */ "0015 - Erro na inicialização do mecanismo de recepção de eventos de fila (Específico). \rContate o administrador do sistema.",
    /*  8 */ "0016 - Erro na inicialização do sistema de Logs. \rContate o administrador do sistema.",
    /*  9 */ "0017 - Erro na inicialização do mecanismo de recepção de eventos de ramal (Global). \rContate o administrador do sistema.",
    /* 10 */ "0018 - Erro na inicialização do mecanismo de recepção de eventos de ramal (Específico). \rContate o administrador do sistema.",
    /* 11 */ "0019 - Erro na inicialização do mecanismo de recepção de eventos de estacionamento de chamadas (Global). \rContate o administrador do sistema.",
    /* 12 */ "0020 - Erro na inicialização do mecanismo de recepção de eventos de estacionamento de chamadas (Específico). \rContate o administrador do sistema.",
    /* 13 */ "Conexão encerrada no servidor AMI (",
    /* 14 */ "Timeout no processo de Auto Reconexão (Seg.): ",
    /* 15 */ "Iniciando processo de auditoria...",
    /* 16 */ "Finalizando processo de auditoria!",
    /* 17 */ "Timeout no processo de auditoria (Min.): ",
    /* 18 */ "Conectado ao Servidor! (",
    /* 19 */ "Conectando ao Servidor! (",
    /* 20 */ "Desconectado do Servidor! (",
    /* 21 */ "Iniciano processo de conexão ao Servidor AMI (",
    /* 22 */ "Iniciando processo de desconexão ao Servidor AMI (",
    /* 23 */ "Iniciando processo de autenticação ao Servidor AMI (",
    /* 24 */ "Autenticação concluida com sucesso no servidor AMI (",
    /* 25 */ "Falha no processo de autenticação no servidor AMI (",
    /* 26 */ "Cliente conectado e recebendo eventos do servidor AMI (",
    /* 27 */ "Conexão encerrada no servidor AMI (",
    /* 28 */ "Conexão Aceita! (",
    /* 29 */ "Cliente Conectado! (",
    /* 30 */ "Cliente Desconectado! (",
    /* 31 */ "Erro ao processar Cliente! (",
    /* 32 */ "Mensagem recebida do Cliente! (",
    /* 33 */ "Referência Interna: ",
    /* 34 */ "Referência Socket: ",
    /* 35 */ "Cliente em modo Listen!",
    /* 36 */ "Iniciano processo de abertura do Servidor Proxy (Porta: ",
    /* 37 */ "Iniciando processo de fechamento do Servidor Proxy (",
    /* 38 */ "Iniciando processo de autenticação para o Cliente (",
    /* 39 */ "Processo de autenticação Step 2, para o Cliente (",
    /* 40 */ "Processo de autenticação Step 3, para o Cliente (",
    /* 41 */ "Processo de autenticação Step 4, para o Cliente (",
    /* 42 */ "Processo de autenticação Step 5, para o Cliente (",
    /* 43 */ "Autenticação concluida com sucesso para o Cliente (",
    /* 44 */ "Falha no processo 1 de autenticação para o Cliente (",
    /* 45 */ "Falha no processo 2 de autenticação para o Cliente (",
    /* 46 */ "Falha no processo 3 de autenticação para o Cliente (",
    /* 47 */ "Falha no processo 4 de autenticação para o Cliente (",
    /* 48 */ "Falha no processo 5 de autenticação para o Cliente (",
    /* 49 */ "Falha no processo 6 de autenticação para o Cliente (",
    /* 50 */ "Falha no processo 7 de autenticação para o Cliente (",
    /* 51 */ "Falha no processo 8 de autenticação para o Cliente (",
    /* 52 */ "Falha no processo 9 de autenticação para o Cliente (",
    /* 53 */ "Falha no processo 10 de autenticação para o Cliente (",
    /* 54 */ "Cliente conectado e recebendo eventos (",
    /* 55 */ "Iniciando processo de alteração de Filas, para o Cliente (",
    /* 56 */ "Iniciando processo de alteração de Ramais, para o Cliente (",
    /* 57 */ "Iniciando processo de alteração de Estacionamento, para o Cliente (",
    /* 58 */ "Conexão encerrada para o Cliente (",
    /* 59 */ "Total MSGs: ",
    /* 60 */ "WP: ",
    /* 61 */ "RP: ",
    /* 62 */ "Diff: ",
    /* 63 */ "Queue: ",
    /* 64 */ "Peer: ",
    /* 65 */ "Parkinglot: ",
    /* 66 */ "Not Event: ",
};

const std::array<std::string, MESSAGE_COUNT>& Table() {
  static const std::array<std::string, MESSAGE_COUNT>* pTable = [] {
    auto* p = new std::array<std::string, MESSAGE_COUNT>();  // never freed: used until process end
    for (int n = 0; n < MESSAGE_COUNT; ++n) (*p)[n] = Utf8ToCp1252(MESSAGES_UTF8[n]);
    return p;
  }();
  return *pTable;
}

}  // namespace

const std::string& Msg(int nIndex) {
  static const std::string sEmpty;
  if (nIndex < 0 || nIndex >= MESSAGE_COUNT) return sEmpty;
  return Table()[nIndex];
}
